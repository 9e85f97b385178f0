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
      m_makeRoom(std::move(makeRoom)), m_limits(m_settings.limits),
      m_listener(new QTcpServer(this)) {}

CServerAcceptor::~CServerAcceptor() {
    Close();
    if (m_spareFd >= 0)
        ::close(m_spareFd);
}

bool CServerAcceptor::Listen(QString* error) {
    m_listener->setListenBacklogSize(m_settings.backlog);
    if (!m_listener->listen(m_settings.address, m_settings.port)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1 port %2: %3")
                         .arg(m_settings.address.toString())
                         .arg(m_settings.port)
                         .arg(m_listener->errorString());
        return false;
    }
    m_listener->pauseAccepting();
    m_notifier = new QSocketNotifier(m_listener->socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CServerAcceptor::OnReady);
    m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return true;
}

quint16 CServerAcceptor::Port() const {
    return m_listener->serverPort();
}

void CServerAcceptor::Close() {
    if (m_notifier) {
        m_notifier->setEnabled(false);
        delete m_notifier;
        m_notifier = nullptr;
    }
    m_listener->close();
}

void CServerAcceptor::Tick(qint64 nowMs) {
    if (m_paused && nowMs >= m_resumeAt) {
        m_paused = false;
        if (m_notifier)
            m_notifier->setEnabled(true);
    }
}

void CServerAcceptor::OnReady() {
    for (int i = 0; i < kAcceptBatch && !m_paused; ++i) {
        sockaddr_storage from = {};
        socklen_t length = sizeof from;
        const int fd =
            ::accept4(static_cast<int>(m_listener->socketDescriptor()),
                      reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue;
            OutOfDescriptors();
            return;
        }
        if (m_outOfDescriptors) {
            m_outOfDescriptors = false;
            emit logLine(
                QStringLiteral("accepting again; %1 connections were closed unserved meanwhile")
                    .arg(m_closedUnserved));
            m_closedUnserved = 0;
        }
        Admit(fd, from);
    }
}

void CServerAcceptor::Admit(int fd, const sockaddr_storage& from) {
    const std::uint64_t id = m_nextId++;
    const QHostAddress peer = PlainAddress(QHostAddress(reinterpret_cast<const sockaddr*>(&from)));
    const QByteArray key = AddressKey(peer);
    QByteArray victim;
    auto verdict = m_limits.Admit(key, Now(), &victim);
    if (verdict == CConnectionLimits::Verdict::MakeRoom && m_makeRoom(victim))
        verdict = m_limits.Admit(key, Now());
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
    emit accepted(fd, id, key);
}

// Out of descriptors (or another lasting accept error): close what waits with the spare
// descriptor, say so once, and pause instead of failing again at once for ever.
void CServerAcceptor::OutOfDescriptors() {
    const int error = errno;
    const int listenFd = static_cast<int>(m_listener->socketDescriptor());
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
        emit logLine(QStringLiteral("cannot accept: %1; closing new connections unserved, trying "
                                    "again every %2 ms")
                         .arg(QString::fromLocal8Bit(std::strerror(error)))
                         .arg(m_settings.retryMs));
    }
    m_paused = true;
    m_resumeAt = Now() + m_settings.retryMs;
    m_notifier->setEnabled(false);
}
