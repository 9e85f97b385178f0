#include "COrvaneReader.h"

#include "Orvane.h"

#include <QCoreApplication>
#include <QUdpSocket>
#include <QVariant>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace {
// Larger than any UDP datagram, so none is ever cut.
constexpr std::size_t kDatagramBuffer = 65536;
// Asked of the kernel; it caps this at its own maximum.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
} // namespace

std::int64_t OrvaneEventCost(const QByteArray& text) {
    return COrvaneLan::AccountedSize(text.size());
}

bool OrvaneEnableBroadcast(qintptr socketDescriptor) {
    if (socketDescriptor < 0)
        return false;
#ifdef _WIN32
    const BOOL on = TRUE;
    return setsockopt(static_cast<SOCKET>(socketDescriptor), SOL_SOCKET, SO_BROADCAST,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
#else
    const int on = 1;
    return setsockopt(static_cast<int>(socketDescriptor), SOL_SOCKET, SO_BROADCAST, &on,
                      sizeof on) == 0;
#endif
}

COrvaneReader::COrvaneReader(QObject* window, QEvent::Type type,
                             std::shared_ptr<std::atomic<std::int64_t>> pendingBytes,
                             std::int64_t maxPendingBytes)
    : m_window(window), m_type(type), m_pendingBytes(std::move(pendingBytes)),
      m_maxPendingBytes(maxPendingBytes) {
    m_thread.setObjectName(QStringLiteral("LAN reader"));
}

COrvaneReader::~COrvaneReader() {
    Stop();
}

bool OrvaneSendTo(qintptr socketDescriptor, const QByteArray& datagram, quint32 ipv4,
                  quint16 port) {
    if (socketDescriptor < 0)
        return false;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(ipv4);
#ifdef _WIN32
    return sendto(static_cast<SOCKET>(socketDescriptor), datagram.constData(),
                  static_cast<int>(datagram.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == datagram.size();
#else
    return sendto(static_cast<int>(socketDescriptor), datagram.constData(),
                  static_cast<std::size_t>(datagram.size()), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) == datagram.size();
#endif
}

bool COrvaneReader::Start(quint16 port) {
    m_context.moveToThread(&m_thread);
    m_thread.start();
    bool opened = false;
    QMetaObject::invokeMethod(
        &m_context, [this, port, &opened] { opened = Open(port); }, Qt::BlockingQueuedConnection);
    if (!opened)
        Stop();
    return opened;
}

bool COrvaneReader::Open(quint16 port) {
    auto* socket = new QUdpSocket;
    // Address sharing: the host program on this computer listens on the same port.
    if (!socket->bind(QHostAddress::AnyIPv4, port,
                      QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        delete socket;
        return false;
    }
    OrvaneEnableBroadcast(socket->socketDescriptor());
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                            QVariant(kReceiveBufferBytes));
    m_socket = socket;
    m_descriptor = socket->socketDescriptor();
    m_buffer.resize(kDatagramBuffer);
    QObject::connect(m_socket, &QUdpSocket::readyRead, m_socket, [this] { Drain(); });
    Drain();
    return true;
}

void COrvaneReader::Drain() {
    while (m_socket->hasPendingDatagrams()) {
        const qint64 size =
            m_socket->readDatagram(m_buffer.data(), static_cast<qint64>(m_buffer.size()));
        if (size < 0)
            break;
        Deliver(m_buffer.data(), static_cast<std::size_t>(size));
    }
}

void COrvaneReader::Deliver(const char* data, std::size_t size) {
    QByteArray text;
    if (!OrvaneCheckDatagram(data, size, text))
        return;
    // Only this thread adds to the count, so the check cannot be overtaken.
    if (*m_pendingBytes + OrvaneEventCost(text) > m_maxPendingBytes) {
        ++m_dropped;
        return;
    }
    QCoreApplication::postEvent(m_window,
                                new COrvaneMessageEvent(m_type, std::move(text), m_pendingBytes));
}

void COrvaneReader::Stop() {
    if (!m_thread.isRunning())
        return;
    QThread* const owner = QThread::currentThread();
    QMetaObject::invokeMethod(
        &m_context,
        [this, owner] {
            delete m_socket;
            m_socket = nullptr;
            // Hand the context back so it is destroyed on the thread that owns us.
            m_context.moveToThread(owner);
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}
