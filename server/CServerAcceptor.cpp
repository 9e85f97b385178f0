#include "CServerAcceptor.h"

#include "AddressKey.h"

#include <QSocketNotifier>
#include <QTcpServer>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Connections taken per wake-up, so a flood of connects cannot starve the clients.
constexpr int kAcceptBatch = 64;

RefusalReason ReasonOf(CConnectionLimits::Verdict verdict) {
    switch (verdict) {
    case CConnectionLimits::Verdict::TooManyPending:
        return RefusalReason::AddressFull;
    case CConnectionLimits::Verdict::TooFast:
        return RefusalReason::TooFast;
    case CConnectionLimits::Verdict::ServerFull:
    case CConnectionLimits::Verdict::Admit:
    case CConnectionLimits::Verdict::MakeRoom:
        break;
    }
    return RefusalReason::ServerFull;
}

const char* RefusalText(CConnectionLimits::Verdict verdict) {
    switch (verdict) {
    case CConnectionLimits::Verdict::ServerFull:
        return "too many connections awaiting log-in";
    case CConnectionLimits::Verdict::TooManyPending:
        return "too many connections awaiting log-in from this address";
    case CConnectionLimits::Verdict::TooFast:
        return "connecting too often";
    case CConnectionLimits::Verdict::Admit:
    case CConnectionLimits::Verdict::MakeRoom:
        break;
    }
    return "";
}
} // namespace

CServerAcceptor::CServerAcceptor(Settings settings, NowMs now, MakeRoom makeRoom, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_now(std::move(now)),
      m_makeRoom(std::move(makeRoom)), m_limits(m_settings.limits) {}

CServerAcceptor::~CServerAcceptor() {
    Close();
    if (m_spareFd >= 0)
        ::close(m_spareFd);
}

bool CServerAcceptor::Listen(QString* error) {
    if ((m_settings.plain && !Open(m_settings.port, false, error)) ||
        (m_settings.tls && !Open(m_settings.tlsPort, true, error))) {
        Close();
        return false;
    }
    m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return true;
}

bool CServerAcceptor::Open(quint16 port, bool tls, QString* error) {
    auto* server = new QTcpServer(this);
    server->setListenBacklogSize(m_settings.backlog);
    if (!server->listen(m_settings.address, port)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1 port %2%3: %4")
                         .arg(m_settings.address.toString())
                         .arg(port)
                         .arg(tls ? QStringLiteral(" for TLS") : QString())
                         .arg(server->errorString());
        delete server;
        return false;
    }
    server->pauseAccepting();
    auto* notifier = new QSocketNotifier(server->socketDescriptor(), QSocketNotifier::Read, this);
    m_listeners.push_back({server, notifier, tls});
    const Listener listener = m_listeners.back();
    connect(notifier, &QSocketNotifier::activated, this, [this, listener] { OnReady(listener); });
    return true;
}

quint16 CServerAcceptor::ListenerPort(bool tls) const {
    for (const Listener& listener : m_listeners) {
        if (listener.tls == tls)
            return listener.server->serverPort();
    }
    return 0;
}

quint16 CServerAcceptor::Port() const {
    return ListenerPort(false);
}

quint16 CServerAcceptor::TlsPort() const {
    return ListenerPort(true);
}

void CServerAcceptor::Close() {
    for (const Listener& listener : m_listeners) {
        listener.notifier->setEnabled(false);
        delete listener.notifier;
        listener.server->close();
        delete listener.server;
    }
    m_listeners.clear();
}

void CServerAcceptor::SetAccepting(bool on) {
    for (const Listener& listener : m_listeners)
        listener.notifier->setEnabled(on);
}

void CServerAcceptor::Tick(qint64 nowMs) {
    if (m_paused && nowMs >= m_resumeAt) {
        m_paused = false;
        SetAccepting(true);
    }
}

void CServerAcceptor::OnReady(const Listener& listener) {
    const int listenFd = static_cast<int>(listener.server->socketDescriptor());
    for (int i = 0; i < kAcceptBatch && !m_paused; ++i) {
        sockaddr_storage from = {};
        socklen_t length = sizeof from;
        const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue;
            OutOfDescriptors(listenFd);
            return;
        }
        if (m_outOfDescriptors) {
            m_outOfDescriptors = false;
            emit repeatedEvent(
                QStringLiteral("returns to accepting"), QString(),
                QStringLiteral("accepting again; %1 connections were closed unserved meanwhile")
                    .arg(m_closedUnserved));
            m_closedUnserved = 0;
        }
        Admit(fd, from, listener.tls);
    }
}

void CServerAcceptor::Admit(int fd, const sockaddr_storage& from, bool tls) {
    const std::uint64_t id = m_nextId++;
    const QHostAddress peer = PlainAddress(QHostAddress(reinterpret_cast<const sockaddr*>(&from)));
    const QByteArray key = AddressKey(peer);
    CConnectionLimits::Victim victim;
    auto verdict = m_limits.Admit(key, id, Now(), &victim);
    if (verdict == CConnectionLimits::Verdict::MakeRoom && m_makeRoom(victim))
        verdict = m_limits.Admit(key, id, Now());
    if (verdict != CConnectionLimits::Verdict::Admit) {
        const quint16 port = ntohs(from.ss_family == AF_INET6
                                       ? reinterpret_cast<const sockaddr_in6*>(&from)->sin6_port
                                       : reinterpret_cast<const sockaddr_in*>(&from)->sin_port);
        emit repeatedEvent(QStringLiteral("connections refused"), AddressKeyText(key),
                           QStringLiteral("#%1 %2:%3 refused: %4")
                               .arg(id)
                               .arg(peer.toString())
                               .arg(port)
                               .arg(QLatin1String(RefusalText(verdict))));
        ::close(fd);
        emit refused(key, ReasonOf(verdict));
        return;
    }
    emit accepted(fd, id, key, tls);
}

// Out of descriptors (or another lasting accept error): close what waits with the spare
// descriptor, say so once, and pause instead of failing again at once for ever.
void CServerAcceptor::OutOfDescriptors(int listenFd) {
    const int error = errno;
    if (m_spareFd >= 0 && (error == EMFILE || error == ENFILE)) {
        ::close(m_spareFd);
        for (int i = 0; i < kAcceptBatch; ++i) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                break;
            ::close(fd);
            ++m_closedUnserved;
            emit refused(QByteArray(), RefusalReason::OutOfDescriptors);
        }
        m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (!m_outOfDescriptors) {
        m_outOfDescriptors = true;
        emit repeatedEvent(
            QStringLiteral("pauses in accepting"), QString(),
            QStringLiteral("cannot accept: %1; closing new connections unserved, trying "
                           "again every %2 ms")
                .arg(QString::fromLocal8Bit(std::strerror(error)))
                .arg(m_settings.retryMs));
    }
    m_paused = true;
    m_resumeAt = Now() + m_settings.retryMs;
    SetAccepting(false);
}
