#include "CServerConnection.h"

#include "AddressKey.h"
#include "IConnectionHost.h"
#include "LogText.h"
#include "SocketOptions.h"

#include <QSslCipher>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimerEvent>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {
constexpr qint64 kFlushBytes = qint64{16} * 1024;
// Read per turn: small enough that one fast sender cannot hold the loop from the others.
constexpr qint64 kReadSlice = 4096;
// The first byte of every TLS handshake, which no log-in answer starts with.
constexpr char kTlsHandshakeRecord = 0x16;

// Keep-alive finds a vanished peer (a site that lost power) that would otherwise stay
// logged in for ever, with the client's own timing; five unanswered probes end it.
void SetSocketOptions(QTcpSocket& socket) {
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    SetKeepAliveValues(socket.socketDescriptor());
#ifdef Q_OS_LINUX
    const int count = 5;
    setsockopt(static_cast<int>(socket.socketDescriptor()), IPPROTO_TCP, TCP_KEEPCNT, &count,
               sizeof count);
#endif
}

QString PeerText(const QTcpSocket& socket) {
    return QStringLiteral("%1:%2")
        .arg(PlainAddress(socket.peerAddress()).toString())
        .arg(socket.peerPort());
}
} // namespace

CServerConnection::CServerConnection(IConnectionHost& server, QTcpSocket* socket, std::uint64_t id,
                                     QByteArray address, QObject* parent)
    : QObject(parent), m_server(server), m_socket(socket), m_ssl(qobject_cast<QSslSocket*>(socket)),
      m_id(id), m_fd(static_cast<int>(socket->socketDescriptor())), m_address(std::move(address)),
      m_peer(PeerText(*socket)), m_session(*this) {
    m_socket->setParent(this);
    m_socket->setReadBufferSize(server.Options().readBufferBytes);
    SetSocketOptions(*m_socket);
    connect(m_socket, &QTcpSocket::readyRead, this, &CServerConnection::OnReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &CServerConnection::OnBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &CServerConnection::OnSocketGone);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &CServerConnection::OnSocketGone);
    if (m_ssl) {
        connect(m_ssl, &QSslSocket::encrypted, this, &CServerConnection::OnEncrypted);
        connect(m_ssl, &QSslSocket::encryptedBytesWritten, this,
                &CServerConnection::OnBytesWritten);
    }
}

CServerConnection::~CServerConnection() = default;

void CServerConnection::Start() {
    m_inputBudget = m_server.Options().inputBurstLines;
    m_inputRefilledAt = m_server.Now();
    if (m_server.Options().verbose)
        Log(m_ssl ? QStringLiteral("connected to the TLS port") : QStringLiteral("connected"));
    if (!m_ssl) {
        m_session.Start();
        return;
    }
    // A handshake that never ends is a log-in answer that never comes.
    m_answerDeadline.Start(m_server.Options().answerTimeoutMs, m_server.Now(), this);
    m_ssl->startServerEncryption();
}

void CServerConnection::OnEncrypted() {
    if (m_closed)
        return;
    m_encrypted = true;
    if (m_server.Options().verbose)
        Log(QStringLiteral("TLS handshake done: %1").arg(m_ssl->sessionCipher().name()));
    m_session.Start();
}

bool CServerConnection::CountsAsAwaitingLogin() const {
    return !m_closed && !m_session.IsLoggedIn();
}

void CServerConnection::Send(std::string_view line) {
    if (m_closed)
        return;
    ++m_linesSent;
    Write(line);
    if (!m_closed && m_pendingWrite > m_server.Options().maxPendingWrite)
        Close(QStringLiteral("not reading: more than %1 bytes waiting for it")
                  .arg(m_server.Options().maxPendingWrite));
}

// Straight to the kernel while nothing waits in the socket's buffer: the socket's write
// notifier is armed only for what the kernel refuses, so a relayed line does not switch
// thousands of notifiers on and off.
void CServerConnection::Write(std::string_view bytes) {
    if (m_ssl) {
        // Encrypted and handed to the kernel now rather than at Qt's next turn; only what the
        // kernel refuses waits in the socket.
        m_ssl->write(bytes.data(), static_cast<qint64>(bytes.size()));
        m_ssl->flush();
        UpdatePendingWrite();
        return;
    }
    std::size_t done = 0;
    if (m_socket->bytesToWrite() == 0) {
        const ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            done = static_cast<std::size_t>(n);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Close(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
    }
    if (done < bytes.size()) {
        m_socket->write(bytes.data() + done, static_cast<qint64>(bytes.size() - done));
        // The socket writes one block per write event, less than a fast sender brings per
        // read event: push what the kernel takes now, so only a client that does not read
        // falls behind.
        if (m_socket->bytesToWrite() >= kFlushBytes)
            m_socket->flush();
    }
    UpdatePendingWrite();
}

qint64 CServerConnection::Unsent() const {
    return m_socket->bytesToWrite() + (m_ssl ? m_ssl->encryptedBytesToWrite() : 0);
}

void CServerConnection::UpdatePendingWrite() {
    const qint64 pending = m_closed ? 0 : Unsent();
    m_server.PendingWriteChanged(pending - m_pendingWrite);
    m_pendingWrite = pending;
}

void CServerConnection::Due(qint64 now) {
    if (m_closed)
        return;
    if (m_answerDeadline.Reached(now)) {
        Close(m_ssl && !m_encrypted ? QStringLiteral("TLS handshake not finished in time")
                                    : QStringLiteral("no answer in time"));
    } else if (m_refuseDeadline.Reached(now)) {
        Close(QStringLiteral("log-in refused"));
    } else if (m_turnDeadline.Reached(now)) {
        m_turnDeadline.Stop();
        m_session.PromptFlushed();
    }
    if (!m_closed && m_readDeadline.Reached(now)) {
        m_readDeadline.Stop();
        ReadSlice();
    }
}

void CServerConnection::Close(const QString& cause) {
    if (m_closed)
        return;
    const bool wasAwaiting = CountsAsAwaitingLogin();
    if (m_turnOpen) {
        m_turnOpen = false;
        m_server.TurnAbandoned(m_address, m_session.Login(), m_turn);
    }
    m_closed = true;
    UpdatePendingWrite();
    m_answerDeadline.Stop();
    m_refuseDeadline.Stop();
    m_turnDeadline.Stop();
    m_readDeadline.Stop();
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
    if (m_session.IsLoggedIn())
        m_server.LogPerAddress(QStringLiteral("ends of sessions"), SummedAs(), LogLine(line));
    else
        m_server.LogRepeated(QStringLiteral("connections closed before log-in"),
                             AddressKeyText(m_address), LogLine(line));
    m_server.ConnectionClosed(this, wasAwaiting);
}

void CServerConnection::timerEvent(QTimerEvent* event) {
    const qint64 now = m_server.Now();
    for (CClockDeadline* deadline :
         {&m_answerDeadline, &m_refuseDeadline, &m_turnDeadline, &m_readDeadline}) {
        if (deadline->Owns(event)) {
            if (deadline->WokeUp(now, this))
                Due(now);
            break; // the timers may have been armed again, under a freed id
        }
    }
}

void CServerConnection::SendPrompt(std::string_view prompt) {
    Write(prompt);
    m_answerDeadline.Start(m_server.Options().answerTimeoutMs, m_server.Now(), this);
}

void CServerConnection::CheckCredentials(const QByteArray& login, const QByteArray& password) {
    // The wait is the server's now, not the client's; the check owns the turn.
    m_answerDeadline.Stop();
    m_turnOpen = false;
    m_server.CheckPassword(this, login, password, m_turn);
}

void CServerConnection::PasswordChecked(bool accepted) {
    if (m_closed)
        return;
    m_session.Decided(accepted);
    // What the client sent meanwhile waited in the socket.
    if (!m_closed && !m_readQueued && !m_readDeadline.IsActive() && m_socket->bytesAvailable() > 0)
        ReadSlice();
}

void CServerConnection::LoginDecided(const QByteArray& login, bool accepted) {
    const QString name = QuotedText(login, CServerSession::kMaxAnswer);
    if (accepted) {
        m_server.LoginDecided(m_address, login, m_turn, accepted);
        m_loggedInAt = QDateTime::currentDateTime();
        SampleRates(m_server.Now());
        m_server.LogPerAddress(
            QStringLiteral("log-ins"), SummedAs(),
            LogLine(QStringLiteral("logged in as \"%1\"%2")
                        .arg(name, m_ssl ? QStringLiteral(" over TLS") : QString())));
        m_server.LoggedIn(this);
    } else {
        m_server.LogRepeated(QStringLiteral("failed log-ins"), AddressKeyText(m_address),
                             LogLine(QStringLiteral("log-in failed for \"%1\"").arg(name)));
        m_server.LoginDecided(m_address, login, m_turn, accepted); // logs a pause it starts
        m_refuseDeadline.Start(m_server.Options().refuseDelayMs, m_server.Now(), this);
    }
}

void CServerConnection::LineReceived(std::string_view line) {
    if (m_server.Options().verbose)
        Log(QStringLiteral("line: %1").arg(QuotedText(line)));
    m_server.Relay(this, line);
}

void CServerConnection::LineDropped(std::string_view line, const char* reason) {
    m_server.LineDropped(DropReasonOf(reason));
    if (m_server.Options().verbose)
        Log(QStringLiteral("dropped (%1): %2").arg(QLatin1String(reason), QuotedText(line)));
}

void CServerConnection::SessionFailed(const char* cause) {
    Close(QString::fromLatin1(cause));
}

void CServerConnection::OnReadyRead() {
    if (!m_readQueued && !m_readDeadline.IsActive())
        ReadSlice();
}

double CServerConnection::InputBudget(qint64 now) {
    const ServerOptions& options = m_server.Options();
    if (options.inputLinesPerSecond <= 0)
        return 1;
    const auto elapsed = static_cast<double>(std::max<qint64>(now - m_inputRefilledAt, 0));
    m_inputBudget = std::min<double>(options.inputBurstLines,
                                     m_inputBudget + elapsed * options.inputLinesPerSecond / 1000);
    m_inputRefilledAt = now;
    return m_inputBudget;
}

// Lines cut off for their length are only known to the framer; the server counts them too.
void CServerConnection::Feed(std::string_view chunk) {
    const std::uint64_t tooLong = m_session.LinesTooLong();
    m_session.Feed(chunk);
    for (std::uint64_t i = tooLong; i < m_session.LinesTooLong(); ++i)
        m_server.LineDropped(DropReason::TooLong);
}

// Past its rate a client is not read for a while: its bytes wait in the socket and TCP holds
// the sender back. Nothing is dropped and the client is told nothing.
void CServerConnection::ReadSlice() {
    m_readQueued = false;
    // While the password is checked, what follows it waits in the socket, bounded by its
    // buffer; reading resumes with the answer.
    if (m_closed || m_session.GetState() == CServerSession::State::Checking)
        return;
    const qint64 now = m_server.Now();
    const double budget = InputBudget(now);
    if (budget < 1) {
        const double perMs = m_server.Options().inputLinesPerSecond / 1000.0;
        m_readDeadline.Start(static_cast<qint64>(std::ceil((1 - budget) / perMs)), now, this);
        return;
    }
    char chunk[kReadSlice];
    const qint64 n = m_socket->read(chunk, sizeof chunk);
    if (n > 0 && !m_ssl && chunk[0] == kTlsHandshakeRecord &&
        m_session.GetState() == CServerSession::State::AwaitLogin && m_session.Buffered() == 0) {
        Close(QStringLiteral("a TLS handshake on the plain port"));
        return;
    }
    if (n > 0) {
        const std::uint64_t before = m_session.LinesFramed();
        Feed(std::string_view(chunk, static_cast<std::size_t>(n)));
        if (m_server.Options().inputLinesPerSecond > 0)
            m_inputBudget -= static_cast<double>(m_session.LinesFramed() - before);
        OnBytesWritten();
    }
    if (!m_closed && n > 0 && m_socket->bytesAvailable() > 0) {
        m_readQueued = true;
        m_server.QueueRead(this);
    }
}

// "password:" goes out only once "login:" has left our buffer, so the two are never joined,
// and only when the address's turn has come if it has failed to log in before.
void CServerConnection::OnBytesWritten() {
    if (m_closed)
        return;
    UpdatePendingWrite();
    if (m_session.GetState() != CServerSession::State::PasswordPromptDue || m_turnTaken ||
        Unsent() != 0)
        return;
    TakeTurn();
}

void CServerConnection::TakeTurn() {
    const qint64 now = m_server.Now();
    m_turn = m_server.PasswordTurn(m_address, m_session.Login());
    m_turnTaken = true;
    switch (m_turn.decision) {
    case CLoginThrottle::Decision::Paused:
        Close(QStringLiteral("log-ins as this login from this address are paused after failures"));
        return;
    case CLoginThrottle::Decision::Busy:
        Close(QStringLiteral("too many log-ins as this login from elsewhere"));
        return;
    case CLoginThrottle::Decision::Now:
        m_turnOpen = true;
        m_session.PromptFlushed();
        return;
    case CLoginThrottle::Decision::Hold:
        // Held a few seconds at most, well within the client's own time-out.
        m_turnOpen = true;
        m_answerDeadline.Stop();
        m_turnDeadline.StartAt(m_turn.at, now, this);
        return;
    }
}

void CServerConnection::OnSocketGone() {
    if (m_closed)
        return;
    // Lines that arrived just before the close still count (at most the read buffer).
    while (!m_closed && m_socket->bytesAvailable() > 0) {
        char chunk[kReadSlice];
        const qint64 n = m_socket->read(chunk, sizeof chunk);
        if (n <= 0)
            break;
        Feed(std::string_view(chunk, static_cast<std::size_t>(n)));
    }
    const auto error = m_socket->error();
    const bool byPeer = error == QAbstractSocket::RemoteHostClosedError ||
                        error == QAbstractSocket::UnknownSocketError;
    Close(byPeer ? QStringLiteral("closed by peer") : m_socket->errorString());
}

// A site behind a NAT address with others: each login of the address has its share of lines.
QString CServerConnection::SummedAs() const {
    return QStringLiteral("%1 as \"%2\"")
        .arg(AddressKeyText(m_address), QuotedText(m_session.Login(), CServerSession::kMaxAnswer));
}

QString CServerConnection::LogLine(const QString& text) const {
    return QStringLiteral("#%1 %2 %3").arg(m_id).arg(m_peer, text);
}

void CServerConnection::Log(const QString& text) const {
    m_server.Log(LogLine(text));
}
