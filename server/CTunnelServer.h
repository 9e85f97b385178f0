#pragma once

#include "CUserTable.h"
#include "ServerOptions.h"

#include <QBasicTimer>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class CServerConnection;
class QTcpServer;

// The tunnel server: accepts clients, logs them in, and passes every valid tunnel line from
// one logged-in client to all the others. Single-threaded, driven by the event loop.
class CTunnelServer : public QObject {
    Q_OBJECT

public:
    using LogSink = std::function<void(const QString&)>;

    explicit CTunnelServer(ServerOptions options, QObject* parent = nullptr);
    ~CTunnelServer() override;

    // Where log lines go (standard error unless replaced); one call per line, no newline.
    void SetLogSink(LogSink sink) { m_logSink = std::move(sink); }
    // Reads the users file when one is set. Returns false with a reason otherwise.
    bool LoadUsers(QString* error);
    // Re-reads the users file; on failure the table in use stays.
    bool ReloadUsers();
    bool Listen(QString* error);
    quint16 Port() const;
    // Sends every logged-in client a heartbeat now (the heartbeat timer calls this).
    void SendHeartbeats();
    // Closes every connection and stops listening.
    void Shutdown();

    const ServerOptions& Options() const { return m_options; }
    int ConnectionCount() const;
    int LoggedInCount() const;
    int AwaitingLoginCount() const { return m_awaitingLogin; }

    // Called by the connections.
    bool CheckCredentials(const QByteArray& login, const QByteArray& password) const;
    void LoggedIn(CServerConnection* connection);
    void Relay(CServerConnection* from, std::string_view line);
    void ConnectionClosed(CServerConnection* connection, bool wasAwaitingLogin);
    void Log(const QString& text) const;

signals:
    void connectionCountChanged();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void OnNewConnection();
    void OnAcceptError();
    void Reap();

    ServerOptions m_options;
    CUserTable m_users;
    QTcpServer* m_listener;
    std::vector<CServerConnection*> m_connections;
    int m_awaitingLogin = 0;
    std::uint64_t m_nextId = 1;
    bool m_reapPending = false;
    std::string m_heartbeatLine;
    QBasicTimer m_heartbeatTimer;
    QBasicTimer m_acceptRetryTimer;
    LogSink m_logSink;
};
