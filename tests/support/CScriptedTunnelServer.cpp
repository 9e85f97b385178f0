#include "CScriptedTunnelServer.h"

#include <QTcpSocket>

#include <string>
#include <string_view>

namespace {
const QByteArray kLoginPrompt = "login:";
const QByteArray kPasswordPrompt = "password:";
} // namespace

CScriptedTunnelServer::CScriptedTunnelServer(QObject* parent) : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, &CScriptedTunnelServer::OnNewConnection);
}

CScriptedTunnelServer::~CScriptedTunnelServer() {
    DropClient();
}

bool CScriptedTunnelServer::Listen() {
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void CScriptedTunnelServer::SetCredentials(QByteArray login, QByteArray password) {
    m_checkCredentials = true;
    m_expectedLogin = std::move(login);
    m_expectedPassword = std::move(password);
}

void CScriptedTunnelServer::SendRaw(const QByteArray& bytes) {
    if (m_client != nullptr) {
        m_client->write(bytes);
        m_client->flush();
    }
}

void CScriptedTunnelServer::SendLine(const QByteArray& text) {
    SendRaw(Line(text));
}

void CScriptedTunnelServer::CloseClient() {
    if (m_client == nullptr)
        return;
    m_client->disconnectFromHost();
}

void CScriptedTunnelServer::ClearReceived() {
    m_received.clear();
    m_lines.clear();
}

void CScriptedTunnelServer::OnNewConnection() {
    while (QTcpSocket* next = m_server.nextPendingConnection()) {
        DropClient();
        m_client = next;
        ++m_connections;
        m_pendingAnswer.clear();
        m_login.clear();
        m_password.clear();
        m_framer.Clear();
        ClearReceived();
        connect(m_client, &QTcpSocket::readyRead, this, &CScriptedTunnelServer::OnReadyRead);
        connect(m_client, &QTcpSocket::disconnected, this, &CScriptedTunnelServer::OnDisconnected);
        emit clientConnected();
        switch (m_prompts) {
        case Prompts::Separate:
            m_phase = Phase::AwaitLogin;
            SendRaw(kLoginPrompt);
            break;
        case Prompts::Joined:
            m_phase = Phase::AwaitLogin;
            SendRaw(kLoginPrompt + kPasswordPrompt);
            break;
        case Prompts::None:
            EnterLoggedIn();
            break;
        }
    }
}

void CScriptedTunnelServer::OnReadyRead() {
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (socket != m_client || socket == nullptr)
        return;
    const QByteArray bytes = socket->readAll();
    m_received += bytes;
    Consume(bytes);
}

void CScriptedTunnelServer::Consume(QByteArray bytes) {
    if (m_phase == Phase::AwaitLogin) {
        if (!TakeAnswer(bytes, m_login))
            return;
        if (m_checkCredentials && m_login != m_expectedLogin) {
            CloseClient();
            return;
        }
        m_phase = Phase::AwaitPassword;
        if (m_prompts == Prompts::Separate)
            SendRaw(kPasswordPrompt);
    }
    if (m_phase == Phase::AwaitPassword) {
        if (!TakeAnswer(bytes, m_password))
            return;
        if (m_checkCredentials && m_password != m_expectedPassword) {
            CloseClient();
            return;
        }
        EnterLoggedIn();
    }
    if (m_phase != Phase::LoggedIn || bytes.isEmpty())
        return;
    m_framer.Append(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                    [this](std::string_view line) {
                        const QByteArray copy(line.data(), static_cast<qsizetype>(line.size()));
                        m_lines << copy;
                        emit lineReceived(copy);
                    });
}

// Takes one answer line (up to its LF) off the front of bytes; false while it is incomplete.
bool CScriptedTunnelServer::TakeAnswer(QByteArray& bytes, QByteArray& answer) {
    m_pendingAnswer += bytes;
    bytes.clear();
    const qsizetype end = m_pendingAnswer.indexOf('\n');
    if (end < 0)
        return false;
    answer = m_pendingAnswer.left(end);
    bytes = m_pendingAnswer.mid(end + 1);
    m_pendingAnswer.clear();
    return true;
}

void CScriptedTunnelServer::EnterLoggedIn() {
    m_phase = Phase::LoggedIn;
    emit loggedIn();
}

void CScriptedTunnelServer::OnDisconnected() {
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (socket != m_client || socket == nullptr)
        return;
    DropClient();
    emit clientDisconnected();
}

void CScriptedTunnelServer::DropClient() {
    if (m_client == nullptr)
        return;
    QTcpSocket* const old = m_client;
    m_client = nullptr;
    m_phase = Phase::NoClient;
    ++m_disconnections;
    old->disconnect(this);
    old->abort();
    old->deleteLater();
}
