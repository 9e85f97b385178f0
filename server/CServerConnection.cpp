#include "CServerConnection.h"

#include "AddressKey.h"
#include "CTunnelServer.h"
#include "SocketOptions.h"
#include "VisibleText.h"

#include <QTcpSocket>
#include <QTimerEvent>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {
constexpr qint64 kFlushBytes = qint64{16} * 1024;

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

CServerConnection::CServerConnection(CTunnelServer& server, QTcpSocket* socket, std::uint64_t id,
                                     QByteArray address)
    : QObject(&server), m_server(server), m_socket(socket), m_id(id),
      m_fd(static_cast<int>(socket->socketDescriptor())), m_address(std::move(address)),
      m_peer(PeerText(*socket)), m_session(*this) {
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
    if (m_server.Options().verbose)
        Log(QStringLiteral("connected"));
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

void CServerConnection::UpdatePendingWrite() {
    const qint64 pending = m_closed ? 0 : m_socket->bytesToWrite();
    m_server.PendingWriteChanged(pending - m_pendingWrite);
    m_pendingWrite = pending;
}

void CServerConnection::Due(qint64 now) {
    if (m_closed)
        return;
    if (m_answerDeadline.Reached(now)) {
        Close(QStringLiteral("no answer in time"));
    } else if (m_refuseDeadline.Reached(now)) {
        Close(QStringLiteral("log-in refused"));
    } else if (m_askAgain) {
        TakeTurn();
    } else if (m_turnDeadline.Reached(now)) {
        m_turnDeadline.Stop();
        m_session.PromptFlushed();
    }
}

void CServerConnection::Close(const QString& cause) {
    if (m_closed)
        return;
    const bool wasAwaiting = CountsAsAwaitingLogin();
    if (m_turnOpen) {
        m_turnOpen = false;
        m_server.TurnAbandoned(m_address);
    }
    m_closed = true;
    UpdatePendingWrite();
    m_answerDeadline.Stop();
    m_refuseDeadline.Stop();
    m_turnDeadline.Stop();
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
        Log(line);
    else
        m_server.LogRepeated(QStringLiteral("connections closed before log-in"),
                             AddressKeyText(m_address), LogLine(line));
    m_server.ConnectionClosed(this, wasAwaiting);
}

void CServerConnection::timerEvent(QTimerEvent* event) {
    const qint64 now = m_server.Now();
    for (CClockDeadline* deadline : {&m_answerDeadline, &m_refuseDeadline, &m_turnDeadline}) {
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

bool CServerConnection::CheckCredentials(const QByteArray& login, const QByteArray& password) {
    return m_server.CheckCredentials(login, password);
}

void CServerConnection::LoginDecided(const QByteArray& login, bool accepted) {
    m_answerDeadline.Stop();
    m_turnOpen = false;
    m_server.LoginDecided(m_address, login, accepted);
    const QString name = VisibleText(login, CServerSession::kMaxAnswer);
    if (accepted) {
        m_loggedInAt = QDateTime::currentDateTime();
        Log(QStringLiteral("logged in as \"%1\"").arg(name));
        m_server.LoggedIn(this);
    } else {
        m_server.LogRepeated(QStringLiteral("failed log-ins"), AddressKeyText(m_address),
                             LogLine(QStringLiteral("log-in failed for \"%1\"").arg(name)));
        m_refuseDeadline.Start(m_server.Options().refuseDelayMs, m_server.Now(), this);
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

// "password:" goes out only once "login:" has left our buffer, so the two are never joined,
// and only when the address's turn has come if it has failed to log in before.
void CServerConnection::OnBytesWritten() {
    if (m_closed)
        return;
    UpdatePendingWrite();
    if (m_session.GetState() != CServerSession::State::PasswordPromptDue || m_turnTaken ||
        m_askAgain || m_socket->bytesToWrite() != 0)
        return;
    TakeTurn();
}

void CServerConnection::TakeTurn() {
    const qint64 now = m_server.Now();
    const qint64 turn = m_server.PasswordTurn(m_address, m_session.Login());
    m_askAgain = turn == CLoginThrottle::kAskAgain;
    m_turnTaken = !m_askAgain;
    m_turnOpen = m_turnTaken;
    if (m_turnTaken && turn <= now) {
        m_session.PromptFlushed();
        return;
    }
    // The wait may be longer than the answer time-out; the address's own cap bounds it.
    m_answerDeadline.Stop();
    if (m_askAgain)
        m_turnDeadline.Stop();
    else
        m_turnDeadline.StartAt(turn, now, this);
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

QString CServerConnection::LogLine(const QString& text) const {
    return QStringLiteral("#%1 %2 %3").arg(m_id).arg(m_peer, text);
}

void CServerConnection::Log(const QString& text) const {
    m_server.Log(LogLine(text));
}
