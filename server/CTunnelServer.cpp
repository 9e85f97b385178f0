#include "CTunnelServer.h"

#include "CServerConnection.h"
#include "TunnelLine.h"

#include <QDateTime>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimerEvent>

#include <algorithm>
#include <cstdio>

CTunnelServer::CTunnelServer(ServerOptions options, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_listener(new QTcpServer(this)),
      m_heartbeatLine("HEARTBEAT: \"~server\" \"\" ") {
    EncodeTunnelLine(m_heartbeatLine);
    m_logSink = [](const QString& text) {
        const QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + ' ' +
                                text.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    };
    connect(m_listener, &QTcpServer::newConnection, this, &CTunnelServer::OnNewConnection);
    connect(m_listener, &QTcpServer::acceptError, this, &CTunnelServer::OnAcceptError);
}

CTunnelServer::~CTunnelServer() {
    Shutdown();
}

bool CTunnelServer::LoadUsers(QString* error) {
    if (m_options.usersFile.isEmpty())
        return true;
    return m_users.LoadFile(m_options.usersFile, error);
}

bool CTunnelServer::ReloadUsers() {
    if (m_options.usersFile.isEmpty())
        return true;
    QString error;
    if (!m_users.LoadFile(m_options.usersFile, &error)) {
        Log(QStringLiteral("users file not reloaded, keeping %1 logins: %2")
                .arg(m_users.Size())
                .arg(error));
        return false;
    }
    Log(QStringLiteral("users file reloaded: %1 logins").arg(m_users.Size()));
    return true;
}

bool CTunnelServer::Listen(QString* error) {
    if (!m_listener->listen(m_options.listenAddress, m_options.port)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1 port %2: %3")
                         .arg(m_options.listenAddress.toString())
                         .arg(m_options.port)
                         .arg(m_listener->errorString());
        return false;
    }
    if (m_options.heartbeatMs > 0)
        m_heartbeatTimer.start(m_options.heartbeatMs, this);
    const QString where = m_options.listenAddress == QHostAddress::Any
                              ? QStringLiteral("all addresses")
                              : m_options.listenAddress.toString();
    Log(QStringLiteral("listening on %1 port %2").arg(where).arg(Port()));
    return true;
}

quint16 CTunnelServer::Port() const {
    return m_listener->serverPort();
}

void CTunnelServer::SendHeartbeats() {
    // By index: a client dropped for not reading stays in the list until the reap.
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        if (m_connections[i]->IsLoggedIn())
            m_connections[i]->Send(m_heartbeatLine);
    }
}

void CTunnelServer::Shutdown() {
    m_heartbeatTimer.stop();
    m_acceptRetryTimer.stop();
    m_listener->close();
    for (std::size_t i = 0; i < m_connections.size(); ++i)
        m_connections[i]->Close(QStringLiteral("server stopping"));
    Reap();
}

int CTunnelServer::ConnectionCount() const {
    return static_cast<int>(std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const auto* c) { return !c->IsClosed(); }));
}

int CTunnelServer::LoggedInCount() const {
    return static_cast<int>(std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const auto* c) { return c->IsLoggedIn(); }));
}

bool CTunnelServer::CheckCredentials(const QByteArray& login, const QByteArray& password) const {
    return m_options.allowAnyLogin || m_users.Check(login, password);
}

void CTunnelServer::LoggedIn(CServerConnection*) {
    --m_awaitingLogin;
    emit connectionCountChanged();
}

void CTunnelServer::Relay(CServerConnection* from, std::string_view line) {
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        CServerConnection* to = m_connections[i];
        if (to != from && to->IsLoggedIn())
            to->Send(line);
    }
}

void CTunnelServer::ConnectionClosed(CServerConnection*, bool wasAwaitingLogin) {
    if (wasAwaitingLogin)
        --m_awaitingLogin;
    // The connection may be on the call stack (a relay loop, its own socket's signal).
    if (!m_reapPending) {
        m_reapPending = true;
        QMetaObject::invokeMethod(this, &CTunnelServer::Reap, Qt::QueuedConnection);
    }
    emit connectionCountChanged();
}

void CTunnelServer::Log(const QString& text) const {
    if (m_logSink)
        m_logSink(text);
}

void CTunnelServer::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_heartbeatTimer.timerId()) {
        SendHeartbeats();
    } else if (event->timerId() == m_acceptRetryTimer.timerId()) {
        m_acceptRetryTimer.stop();
        m_listener->resumeAccepting();
    }
}

void CTunnelServer::OnNewConnection() {
    while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
        const std::uint64_t id = m_nextId++;
        if (m_awaitingLogin >= m_options.maxAwaitingLogin) {
            Log(QStringLiteral("#%1 refused: %2 connections already awaiting log-in")
                    .arg(id)
                    .arg(m_awaitingLogin));
            socket->abort();
            delete socket;
            continue;
        }
        auto* connection = new CServerConnection(*this, socket, id);
        m_connections.push_back(connection);
        ++m_awaitingLogin;
        connection->Start();
        emit connectionCountChanged();
    }
}

// Out of descriptors: the listener stops accepting by itself; try again a little later.
void CTunnelServer::OnAcceptError() {
    Log(QStringLiteral("cannot accept: %1").arg(m_listener->errorString()));
    m_listener->pauseAccepting();
    m_acceptRetryTimer.start(m_options.acceptRetryMs, this);
}

void CTunnelServer::Reap() {
    m_reapPending = false;
    const auto closed = std::stable_partition(m_connections.begin(), m_connections.end(),
                                              [](const auto* c) { return !c->IsClosed(); });
    for (auto it = closed; it != m_connections.end(); ++it)
        (*it)->deleteLater();
    m_connections.erase(closed, m_connections.end());
}
