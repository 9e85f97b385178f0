#pragma once

#include "DisconnectCause.h"
#include "HostLookup.h"

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpSocket>

#include <memory>
#include <string>

// The TCP connection to the tunnel server. Sends WM_TUNNEL_DATA (chunks of at most 255
// bytes) and WM_TUNNEL_CONNECTED to the window, posts WM_TUNNEL_CLOSED. Knows nothing of
// logins or message formats.
class CTcpClient : public QTcpSocket {
    Q_OBJECT

public:
    explicit CTcpClient(QObject* window);
    ~CTcpClient() override;

    // Starts the connect; a failure of any kind ends in one posted WM_TUNNEL_CLOSED. A name is
    // resolved afresh on a thread of its own and its addresses are tried in order; "[::1]" is
    // taken as the address it brackets.
    void Connect(const std::string& host, int port);
    // Replaces the system's resolver (tests); it runs off the event thread.
    void SetResolver(HostResolver resolver) { m_resolver = std::move(resolver); }
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

    static constexpr qint64 kMaxPendingWrite = qint64{1024} * 1024;
    static constexpr int kChunkSize = 255;

private:
    struct Lookup;

    void StartLookup(const std::string& host);
    void OnResolved(const QList<QHostAddress>& addresses);
    void ConnectNext();
    void OnReceive();
    void OnConnect(int error);
    void OnClose();
    void OnError(QAbstractSocket::SocketError error);
    void PostClosed();
    void DisconnectSignals();

    QPointer<QObject> m_window;
    HostResolver m_resolver = LookUpHost;
    std::shared_ptr<Lookup> m_lookup;
    QList<QHostAddress> m_addresses; // still to try
    quint16 m_port = 0;
    QList<QMetaObject::Connection> m_connections;
    bool m_connected = false;
    bool m_closedLocally = false;
    bool m_closePosted = false;
    bool m_sending = false;
    bool m_closeDuringSend = false;
    DisconnectCause m_cause = DisconnectCause::None;
    std::string m_causeDetail;
};
