#include "CTcpClient.h"

#include "Fingerprint.h"
#include "SocketOptions.h"
#include "StoredText.h"

#include <QPointer>
#include <QSslConfiguration>

#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {
// OnConnect takes 0 for success, so no failure may map to 0.
int ConnectErrorCode(QAbstractSocket::SocketError error) {
    return error == QAbstractSocket::UnknownSocketError ? -1 : static_cast<int>(error) + 1;
}

DisconnectCause CauseOf(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        return DisconnectCause::ClosedByServer;
    case QAbstractSocket::ConnectionRefusedError:
        return DisconnectCause::Refused;
    case QAbstractSocket::HostNotFoundError:
        return DisconnectCause::HostNotFound;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return DisconnectCause::TlsFailed;
    default:
        return DisconnectCause::NetworkError;
    }
}
} // namespace

// What a lookup thread shares with its client: the client may be gone before the answer.
struct CTcpClient::Lookup {
    std::mutex mutex;
    CTcpClient* client = nullptr;
};

CTcpClient::CTcpClient(QObject* parent) : QObject(parent) {
    MakeSocket();
}

CTcpClient::~CTcpClient() {
    if (m_lookup) {
        const std::lock_guard lock(m_lookup->mutex);
        m_lookup->client = nullptr;
    }
    // The socket aborts as it goes; that must not reach our handlers any more.
    DisconnectSignals();
}

void CTcpClient::MakeSocket() {
    DisconnectSignals();
    QTcpSocket* socket = nullptr;
    if (m_tls.enabled) {
        auto* tls = new QSslSocket;
        m_connections << connect(tls, &QSslSocket::encrypted, this, &CTcpClient::OnEncrypted)
                      << connect(tls, &QSslSocket::sslErrors, this, &CTcpClient::OnSslErrors)
                      << connect(tls, &QSslSocket::encryptedBytesWritten, this,
                                 &CTcpClient::OnWritten);
        socket = tls;
    } else {
        socket = new QTcpSocket;
    }
    // With TLS the tunnel is up once the handshake is done, not at the TCP connect; but a
    // handshake that never ends must be timed out like a server that never speaks.
    m_connections << connect(socket, &QTcpSocket::connected, this, &CTcpClient::OnSocketConnected)
                  << connect(socket, &QTcpSocket::bytesWritten, this, &CTcpClient::OnWritten)
                  << connect(socket, &QTcpSocket::readyRead, this, &CTcpClient::OnReceive)
                  << connect(socket, &QTcpSocket::errorOccurred, this, &CTcpClient::OnError)
                  << connect(socket, &QTcpSocket::disconnected, this, &CTcpClient::OnClose);
    m_socket.reset(socket);
}

void CTcpClient::Connect(const std::string& host, int port, TunnelTls tls) {
    if (host.empty() || port < 1 || port > 65535) {
        m_cause = DisconnectCause::NoServer;
        PostClosed();
        return;
    }
    m_port = static_cast<quint16>(port);
    m_tls = std::move(tls);
    if (m_tls.enabled)
        MakeSocket();
    const std::string bare = HostWithoutBrackets(host);
    m_peerName = StoredText(bare);
    const QHostAddress literal(StoredText(bare));
    if (literal.isNull()) {
        StartLookup(bare);
        return;
    }
    m_addresses = {literal};
    ConnectNext();
}

void CTcpClient::StartLookup(const std::string& host) {
    // A lookup can take seconds and the event loop never waits. A plain thread, not a pool,
    // so that a hanging lookup never holds up the program's exit.
    m_lookup = std::make_shared<Lookup>();
    m_lookup->client = this;
    try {
        std::thread([lookup = m_lookup, resolver = m_resolver, host] {
            const QList<QHostAddress> addresses = resolver(host);
            const std::lock_guard lock(lookup->mutex);
            if (CTcpClient* client = lookup->client)
                QMetaObject::invokeMethod(
                    client, [client, addresses] { client->OnResolved(addresses); },
                    Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error& error) {
        // Like a socket that cannot be created: a failed attempt, retried as usual.
        m_cause = DisconnectCause::NetworkError;
        m_causeDetail = error.what();
        PostClosed();
    }
}

void CTcpClient::OnResolved(const QList<QHostAddress>& addresses) {
    if (m_closedLocally)
        return;
    if (addresses.isEmpty()) {
        m_cause = DisconnectCause::HostNotFound;
        PostClosed();
        return;
    }
    m_addresses = addresses;
    ConnectNext();
}

void CTcpClient::ConnectNext() {
    if (m_closedLocally || m_addresses.isEmpty())
        return;
    m_socket->abort();
    const QHostAddress address = m_addresses.takeFirst();
    if (!m_tls.enabled) {
        m_socket->connectToHost(address, m_port);
        return;
    }
    auto& socket = static_cast<QSslSocket&>(*m_socket);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    // A pinned certificate is judged by its fingerprint alone, once the handshake is done.
    tls.setPeerVerifyMode(m_tls.fingerprint.empty() ? QSslSocket::VerifyPeer
                                                    : QSslSocket::QueryPeer);
    if (!m_extraCaCertificates.isEmpty())
        tls.addCaCertificates(m_extraCaCertificates);
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted(address.toString(), m_port, m_peerName);
}

void CTcpClient::OnSocketConnected() {
    const qintptr descriptor = m_socket->socketDescriptor();
    SetKeepAliveValues(descriptor);
    SetUnacknowledgedTimeout(descriptor);
    SetUnsentLowWater(descriptor, kUnsentLowWater);
    // Messages are short and should cross at once, not wait for the previous one's ACK.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    emit socketConnected();
    if (!m_tls.enabled)
        OnConnect(0);
}

void CTcpClient::OnEncrypted() {
    m_certificateWarnings.clear();
    if (!m_tls.fingerprint.empty()) {
        const QByteArray der = static_cast<QSslSocket&>(*m_socket).peerCertificate().toDer();
        if (!FingerprintMatches(StoredText(m_tls.fingerprint), der)) {
            m_cause = DisconnectCause::CertificateRefused;
            m_causeDetail = "the server's certificate SHA-256 " +
                            CertificateFingerprint(der).toStdString() +
                            " is not the one in Options, \"Certificate SHA-256\". If the "
                            "server's certificate was renewed, paste its new SHA-256 there; "
                            "otherwise something between you and the server answers in its "
                            "place";
            CloseSocket();
            PostClosed();
            return;
        }
    }
    m_encrypted = true;
    OnConnect(0);
}

// Without a pin: a certificate that the system's store does not trust, or that names another
// host, ends the handshake (Qt aborts unless told to ignore the errors, which we never do).
// With a pin the same warnings come too, but the pin alone decides; either way they are the
// cause only if the handshake then fails, never of a later end of the connection.
void CTcpClient::OnSslErrors(const QList<QSslError>& errors) {
    if (!m_tls.fingerprint.empty() || errors.isEmpty())
        return;
    QStringList reasons;
    for (const QSslError& error : errors)
        reasons << error.errorString();
    const QList<QSslCertificate> chain = static_cast<QSslSocket&>(*m_socket).peerCertificateChain();
    const QSslCertificate seen = chain.isEmpty() ? QSslCertificate() : chain.first();
    m_certificateWarnings = reasons.join(QStringLiteral("; ")).toStdString() +
                            " (certificate SHA-256 " +
                            (seen.isNull() ? std::string("unknown")
                                           : CertificateFingerprint(seen.toDer()).toStdString()) +
                            ")";
}

qint64 CTcpClient::PendingBytes() const {
    qint64 pending = m_socket->bytesToWrite();
    if (m_tls.enabled)
        pending += static_cast<const QSslSocket&>(*m_socket).encryptedBytesToWrite();
    return pending;
}

void CTcpClient::OnWritten() {
    // Inside SendText the sender finds out by itself, and must not be called back.
    if (!m_sending && PendingBytes() == 0)
        emit drained();
}

bool CTcpClient::SendText(const char* text) {
    if (text == nullptr || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    // The socket keeps what the kernel cannot take yet; bound that, a whole line at a time.
    if (PendingBytes() > kMaxPendingWrite)
        return false;
    const auto size = static_cast<qint64>(std::strlen(text));
    if (m_socket->write(text, size) != size)
        return false;
    // Hand it to the kernel now rather than at the event loop's next turn. A failure found
    // here is reported from the event loop, never back into the sender's handler.
    m_sending = true;
    m_socket->flush();
    m_sending = false;
    if (m_closeDuringSend) {
        m_closeDuringSend = false;
        QMetaObject::invokeMethod(this, &CTcpClient::OnClose, Qt::QueuedConnection);
    }
    return true;
}

void CTcpClient::Close() {
    m_silenced = true;
    CloseSocket();
}

void CTcpClient::CloseSocket() {
    m_closedLocally = true;
    DisconnectSignals();
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->flush();
    m_socket->abort();
}

void CTcpClient::OnReceive() {
    const QPointer<CTcpClient> self(this);
    char chunk[kChunkSize + 1];
    // Qt does not signal again for bytes it already holds, so read until none are left.
    // The receiver may close the client (and schedule its deletion) at any chunk.
    while (self && !m_closedLocally && m_socket->isOpen()) {
        const qint64 size = m_socket->read(chunk, kChunkSize);
        if (size <= 0)
            return;
        chunk[size] = '\0';
        emit textReceived(QByteArray(chunk, static_cast<qsizetype>(std::strlen(chunk))));
    }
}

void CTcpClient::OnConnect(int error) {
    if (error != 0) {
        CloseSocket();
        PostClosed();
        return;
    }
    m_connected = true;
    emit tunnelConnected();
}

void CTcpClient::OnClose() {
    if (m_sending) {
        m_closeDuringSend = true;
        return;
    }
    if (m_closePosted)
        return;
    // Whatever arrived before the close is handed on before the closed notification.
    const QPointer<CTcpClient> self(this);
    if (m_socket->bytesAvailable() > 0)
        OnReceive();
    if (self && !m_closedLocally) {
        // A close without an error first is the server's orderly one.
        if (m_cause == DisconnectCause::None)
            m_cause = DisconnectCause::ClosedByServer;
        PostClosed();
    }
}

void CTcpClient::OnError(QAbstractSocket::SocketError error) {
    if (!m_connected && !m_addresses.isEmpty()) {
        // The name has more addresses: the next one, once this error has unwound.
        QMetaObject::invokeMethod(this, &CTcpClient::ConnectNext, Qt::QueuedConnection);
        return;
    }
    if (m_cause == DisconnectCause::None && !m_connected && !m_certificateWarnings.empty()) {
        m_cause = DisconnectCause::CertificateRefused;
        m_causeDetail = m_certificateWarnings;
    }
    if (m_cause == DisconnectCause::None) {
        m_cause = CauseOf(error);
        m_causeDetail = m_socket->errorString().toStdString();
    }
    if (m_connected)
        OnClose();
    else
        OnConnect(ConnectErrorCode(error));
}

void CTcpClient::PostClosed() {
    if (m_closePosted)
        return;
    m_closePosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_silenced)
                emit tunnelClosed();
        },
        Qt::QueuedConnection);
}

void CTcpClient::DisconnectSignals() {
    for (const QMetaObject::Connection& connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
}
