#pragma once

#include "DisconnectCause.h"
#include "HostLookup.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>

#include <memory>
#include <string>

// How the tunnel is protected: plain, or TLS 1.2 or later with the server's certificate
// trusted by the system's store and matching the host name, or, with a fingerprint, exactly
// the certificate of that SHA-256 whoever signed it.
struct TunnelTls {
    bool enabled = false;
    std::string fingerprint; // colons, blanks and case do not matter
};

// The TCP connection to the tunnel server, in clear or in TLS. Announces what it receives in
// chunks of at most 255 bytes and its connection at once (once encrypted, with TLS), and its
// end from the event loop. Knows nothing of logins or message formats. A plain connection
// uses a plain socket, so that TLS costs nothing (no library loaded) where it is not used.
class CTcpClient : public QObject {
    Q_OBJECT

public:
    explicit CTcpClient(QObject* parent = nullptr);
    ~CTcpClient() override;

    // Starts the connect; a failure of any kind ends in one tunnelClosed. A name is resolved
    // afresh on a thread of its own and its addresses are tried in order; "[::1]" is taken as
    // the address it brackets.
    void Connect(const std::string& host, int port, TunnelTls tls = {});
    // Certificates trusted beside the system's store (tests).
    void SetExtraCaCertificates(QList<QSslCertificate> certificates) {
        m_extraCaCertificates = std::move(certificates);
    }
    // Replaces the system's resolver (tests); it runs off the event thread.
    void SetResolver(HostResolver resolver) { m_resolver = std::move(resolver); }
    // Sends the bytes up to the first NUL, adding nothing. A line is never split; past
    // kMaxPendingWrite waiting bytes further lines are dropped whole. Returns whether queued.
    bool SendText(const char* text);
    // What waits in the process for the kernel, encrypted or not yet: the kernel itself keeps
    // at most kUnsentLowWater unsent, so this is where a slow path shows.
    qint64 PendingBytes() const;
    // Whether the kernel took everything written so far: a paced line written now would
    // leave at once rather than wait in the process.
    bool IsDrained() const {
        return m_socket->state() == QAbstractSocket::ConnectedState && PendingBytes() == 0;
    }
    // Whether the TLS handshake is done (false for a plain connection).
    bool IsEncrypted() const { return m_encrypted; }
    // The socket of the current connection (tests).
    QTcpSocket& Socket() const { return *m_socket; }
    // Closes without any tunnelClosed, even one already on its way.
    void Close();
    // Why the connection failed or ended, once it has; the socket's words for other errors.
    DisconnectCause Cause() const { return m_cause; }
    const std::string& CauseDetail() const { return m_causeDetail; }

    static constexpr qint64 kMaxPendingWrite = qint64{1024} * 1024;
    // A few lines' worth: a TIME message must not sit seconds behind others in the kernel on a
    // slow link.
    static constexpr int kUnsentLowWater = 4096;
    static constexpr int kChunkSize = 255;

signals:
    // One received chunk, taken up to its first NUL; never empty-handed for a failed read.
    void textReceived(const QByteArray& chunk);
    // The TCP connection is made (a TLS handshake may still follow).
    void socketConnected();
    void tunnelConnected();
    // Everything written so far has reached the kernel.
    void drained();
    // Emitted from the event loop, never inside a call into the client.
    void tunnelClosed();

private:
    struct Lookup;

    // A fresh socket of the kind the connection needs, with our handlers.
    void MakeSocket();
    void StartLookup(const std::string& host);
    void OnResolved(const QList<QHostAddress>& addresses);
    void ConnectNext();
    void OnReceive();
    void OnConnect(int error);
    void OnSocketConnected();
    void OnWritten();
    void OnEncrypted();
    void OnSslErrors(const QList<QSslError>& errors);
    void OnClose();
    void OnError(QAbstractSocket::SocketError error);
    void CloseSocket();
    void PostClosed();
    void DisconnectSignals();

    HostResolver m_resolver = LookUpHost;
    std::shared_ptr<Lookup> m_lookup;
    std::unique_ptr<QTcpSocket> m_socket;
    QList<QHostAddress> m_addresses; // still to try
    quint16 m_port = 0;
    QString m_peerName; // the host name the certificate must match
    TunnelTls m_tls;
    QList<QSslCertificate> m_extraCaCertificates;
    QList<QMetaObject::Connection> m_connections;
    bool m_connected = false;
    bool m_encrypted = false;
    // Certificate warnings of the handshake under way: the cause only if it then fails.
    std::string m_certificateWarnings;
    bool m_closedLocally = false;
    bool m_silenced = false; // Close() was called: nothing more is announced
    bool m_closePosted = false;
    bool m_sending = false;
    bool m_closeDuringSend = false;
    DisconnectCause m_cause = DisconnectCause::None;
    std::string m_causeDetail;
};
