#pragma once

#include "DisconnectCause.h"

#include <QList>
#include <QPointer>
#include <QTcpSocket>

#include <string>

// The TCP connection to the tunnel server. Sends WM_TUNNEL_DATA (chunks of at most 255
// bytes) and WM_TUNNEL_CONNECTED to the window, posts WM_TUNNEL_CLOSED. Knows nothing of
// logins or message formats.
class CTcpClient : public QTcpSocket {
    Q_OBJECT

public:
    explicit CTcpClient(QObject* window);
    ~CTcpClient() override;

    // Starts the connect; a failure of any kind ends in one posted WM_TUNNEL_CLOSED.
    void Connect(const std::string& host, int port);
    // Sends the bytes up to the first NUL, adding nothing. A line is never split; past
    // kMaxPendingWrite waiting bytes further lines are dropped whole. Returns whether queued.
    bool SendText(const char* text);
    // Whether SendText would queue a line now rather than drop it at the bound.
    bool CanTakeMore() const {
        return state() == ConnectedState && bytesToWrite() <= kMaxPendingWrite;
    }
    // Closes without any closed notification.
    void Close();
    // Why the connection failed or ended, once it has; the socket's words for other errors.
    DisconnectCause Cause() const { return m_cause; }
    const std::string& CauseDetail() const { return m_causeDetail; }

    static constexpr qint64 kMaxPendingWrite = 1024 * 1024;
    static constexpr int kChunkSize = 255;
    static constexpr int kKeepAliveIdleSeconds = 20;
    static constexpr int kKeepAliveIntervalSeconds = 3;

private:
    void OnReceive();
    void OnConnect(int error);
    void OnClose();
    void OnError(QAbstractSocket::SocketError error);
    void PostClosed();
    void DisconnectSignals();

    QPointer<QObject> m_window;
    QList<QMetaObject::Connection> m_connections;
    bool m_connected = false;
    bool m_closedLocally = false;
    bool m_closePosted = false;
    bool m_sending = false;
    bool m_closeDuringSend = false;
    DisconnectCause m_cause = DisconnectCause::None;
    std::string m_causeDetail;
};

// SO_KEEPALIVE with the given idle time and probe interval on a native socket.
bool SetKeepAliveValues(qintptr socketDescriptor, int idleSeconds, int intervalSeconds);
