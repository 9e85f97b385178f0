#include "COrvaneReader.h"

#include "COrvaneInbox.h"
#include "Orvane.h"

#include <QUdpSocket>
#include <QVariant>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {
// Larger than any UDP datagram, so none is ever cut.
constexpr std::size_t kDatagramBuffer = 65536;
// Asked of the kernel; it caps this at its own maximum.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// Datagrams read in one pass, so that a flood cannot keep the reader from stopping.
constexpr int kDatagramsPerPass = 256;
} // namespace

bool OrvaneEnableBroadcast(qintptr socketDescriptor) {
    if (socketDescriptor < 0)
        return false;
    const int on = 1;
    return setsockopt(static_cast<int>(socketDescriptor), SOL_SOCKET, SO_BROADCAST, &on,
                      sizeof on) == 0;
}

COrvaneReader::COrvaneReader(std::shared_ptr<COrvaneInbox> inbox, std::function<void()> wake,
                             std::shared_ptr<OrvaneDropCounts> drops)
    : m_inbox(std::move(inbox)), m_wake(std::move(wake)), m_drops(std::move(drops)) {
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
    return sendto(static_cast<int>(socketDescriptor), datagram.constData(),
                  static_cast<std::size_t>(datagram.size()), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) == datagram.size();
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
    for (int n = 0; n < kDatagramsPerPass; ++n) {
        if (!m_socket->hasPendingDatagrams())
            return;
        const qint64 size =
            m_socket->readDatagram(m_buffer.data(), static_cast<qint64>(m_buffer.size()));
        if (size < 0)
            return;
        Deliver(m_buffer.data(), static_cast<std::size_t>(size));
    }
    // More is waiting: the socket signals again once this thread has seen to whatever else it
    // has to do (a stop, say).
}

void COrvaneReader::Deliver(const char* data, std::size_t size) {
    QByteArray text;
    if (!OrvaneCheckDatagram(data, size, text)) {
        ++m_drops->badDatagram;
        return;
    }
    if (text.size() > COrvaneLan::kMaxTextBytes) {
        ++m_drops->tooLong;
        return;
    }
    switch (m_inbox->Add(std::move(text))) {
    case COrvaneInbox::Added::Full:
        ++m_drops->full;
        break;
    case COrvaneInbox::Added::QueuedWake:
        m_wake();
        break;
    case COrvaneInbox::Added::Queued:
        break;
    }
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
