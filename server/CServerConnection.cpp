#include "CServerConnection.h"

#include "CTunnelServer.h"
#include "VisibleText.h"

#include <QTcpSocket>
#include <QTimerEvent>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {
constexpr qint64 kFlushBytes = 16 * 1024;

// Keep-alive finds a vanished peer (a site that lost power) that would otherwise stay
// logged in for ever: first probe after 20 s idle, then every 3 s, as the client does.
void SetSocketOptions(QTcpSocket& socket) {
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
#ifdef Q_OS_LINUX
    const int fd = static_cast<int>(socket.socketDescriptor());
    const int idle = 20;
    const int interval = 3;
    const int count = 5;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

QString PeerText(const QTcpSocket& socket) {
    QHostAddress address = socket.peerAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);
    return QStringLiteral("%1:%2").arg(address.toString()).arg(socket.peerPort());
}
} // namespace

CServerConnection::CServerConnection(CTunnelServer& server, QTcpSocket* socket, std::uint64_t id)
    : QObject(&server), m_server(server), m_socket(socket), m_id(id), m_peer(PeerText(*socket)),
      m_session(*this) {
    m_socket->setParent(this);
    m_socket->setReadBufferSize(server.Options().readBufferBytes);
    SetSocketOptions(*m_socket);
    connect(m_socket, &QTcpSocket::readyRead, this, &CServerConnection::OnReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &CServerConnection::OnBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &CServerConnection::OnSocketGone);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &CServerConnection::OnSocketGone);
}

CServerConnection::~CServerConnection() = default;

void CServerConnection::Start() {
    Log(QStringLiteral("connected"));
    m_session.Start();
}

bool CServerConnection::CountsAsAwaitingLogin() const {
    return !m_closed && !m_session.IsLoggedIn();
}

void CServerConnection::Send(std::string_view line) {
    if (m_closed)
        return;
    m_socket->write(line.data(), static_cast<qint64>(line.size()));
    ++m_linesSent;
    // The socket writes one block per write event, less than a fast sender brings per read
    // event: push what the kernel takes now, so only a client that does not read falls behind.
    if (m_socket->bytesToWrite() >= kFlushBytes)
        m_socket->flush();
    if (!m_closed && m_socket->bytesToWrite() > m_server.Options().maxPendingWrite)
        Close(QStringLiteral("not reading: more than %1 bytes waiting for it")
                  .arg(m_server.Options().maxPendingWrite));
}

void CServerConnection::Close(const QString& cause) {
    if (m_closed)
        return;
    const bool wasAwaiting = CountsAsAwaitingLogin();
    m_closed = true;
    m_answerTimer.stop();
    m_refuseTimer.stop();
    m_socket->disconnect(this);
    m_socket->abort();
    QString line = QStringLiteral("disconnected (%1)").arg(cause);
    if (m_session.IsLoggedIn()) {
        line += QStringLiteral(": relayed %1, dropped %2, heartbeats %3, sent %4")
                    .arg(m_session.LinesValid())
                    .arg(m_session.LinesDropped())
                    .arg(m_session.Heartbeats())
                    .arg(m_linesSent);
    }
    Log(line);
    m_server.ConnectionClosed(this, wasAwaiting);
}

void CServerConnection::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_answerTimer.timerId())
        Close(QStringLiteral("no answer in time"));
    else if (event->timerId() == m_refuseTimer.timerId())
        Close(QStringLiteral("log-in refused"));
}

void CServerConnection::SendPrompt(std::string_view prompt) {
    m_socket->write(prompt.data(), static_cast<qint64>(prompt.size()));
    m_answerTimer.start(m_server.Options().answerTimeoutMs, Qt::PreciseTimer, this);
}

bool CServerConnection::CheckCredentials(const QByteArray& login, const QByteArray& password) {
    return m_server.CheckCredentials(login, password);
}

void CServerConnection::LoginDecided(const QByteArray& login, bool accepted) {
    m_answerTimer.stop();
    const QString name = VisibleText(login, CServerSession::kMaxAnswer);
    if (accepted) {
        Log(QStringLiteral("logged in as \"%1\"").arg(name));
        m_server.LoggedIn(this);
    } else {
        Log(QStringLiteral("log-in failed for \"%1\"").arg(name));
        m_refuseTimer.start(m_server.Options().refuseDelayMs, Qt::PreciseTimer, this);
    }
}

void CServerConnection::LineReceived(std::string_view line) {
    if (m_server.Options().verbose)
        Log(QStringLiteral("line: %1").arg(VisibleText(line)));
    m_server.Relay(this, line);
}

void CServerConnection::LineDropped(std::string_view line, const char* reason) {
    if (m_server.Options().verbose)
        Log(QStringLiteral("dropped (%1): %2").arg(QLatin1String(reason), VisibleText(line)));
}

void CServerConnection::SessionFailed(const char* cause) {
    Close(QString::fromLatin1(cause));
}

void CServerConnection::OnReadyRead() {
    char chunk[4096];
    while (!m_closed && m_socket->bytesAvailable() > 0) {
        const qint64 n = m_socket->read(chunk, sizeof chunk);
        if (n <= 0)
            break;
        m_session.Feed(std::string_view(chunk, static_cast<std::size_t>(n)));
        OnBytesWritten();
    }
}

// "password:" goes out only once "login:" has left our buffer, so the two are never joined.
void CServerConnection::OnBytesWritten() {
    if (!m_closed && m_session.GetState() == CServerSession::State::PasswordPromptDue &&
        m_socket->bytesToWrite() == 0)
        m_session.PromptFlushed();
}

void CServerConnection::OnSocketGone() {
    if (m_closed)
        return;
    OnReadyRead(); // lines that arrived just before the close still count
    const auto error = m_socket->error();
    const bool byPeer = error == QAbstractSocket::RemoteHostClosedError ||
                        error == QAbstractSocket::UnknownSocketError;
    Close(byPeer ? QStringLiteral("closed by peer") : m_socket->errorString());
}

void CServerConnection::Log(const QString& text) const {
    m_server.Log(QStringLiteral("#%1 %2 %3").arg(m_id).arg(m_peer, text));
}
