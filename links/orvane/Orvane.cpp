#include "Orvane.h"

#include "COrvaneInbox.h"
#include "COrvaneReader.h"

#include <QCoreApplication>
#include <QHostAddress>

#include <cstring>
#include <deque>

namespace {

bool IsIpv4Address(const std::string& text) {
    QHostAddress address;
    return address.setAddress(QString::fromLatin1(text.c_str())) &&
           address.protocol() == QAbstractSocket::IPv4Protocol;
}

unsigned char DatagramChecksum(const char* bytes, std::size_t size) {
    unsigned char sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(bytes[i]));
    return static_cast<unsigned char>(sum | 0x80);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Cuts one field starting at p (not a blank) and returns where the next search starts.
char* CutField(char* p, char* end, char*& field) {
    const bool quoted = *p == '"';
    if (quoted)
        ++p;
    field = p;
    while (p < end && (quoted ? *p != '"' : !IsBlank(*p)))
        ++p;
    if (p < end)
        *p++ = 0;
    return p;
}

} // namespace

// What the reader thread and the endpoint's thread share for one Init: the inbox between
// them, and who announces the messages.
struct COrvaneLan::Delivery {
    explicit Delivery(COrvaneLan* owner)
        : inbox(std::make_shared<COrvaneInbox>(kMaxPendingBytes)), lan(owner) {}

    // Runs on the endpoint's thread: one batch, then the event loop's turn before the next.
    static void Pass(const std::shared_ptr<Delivery>& self) {
        if (self->closed)
            return;
        std::deque<QByteArray> batch;
        const bool more = self->inbox->Take(batch, kBatch);
        for (const QByteArray& text : batch) {
            // A receiver may close the endpoint or delete it.
            if (!self->closed)
                emit self->lan->messageReceived(text);
            self->inbox->Release(text);
        }
        if (more && !self->closed)
            Post(self);
    }

    // Any thread. A posted call waits behind the endpoint's other events, sockets and timers;
    // one still queued when the endpoint goes is dropped with it.
    static void Post(const std::shared_ptr<Delivery>& self) {
        QMetaObject::invokeMethod(
            self->lan, [self] { Pass(self); }, Qt::QueuedConnection);
    }

    std::shared_ptr<COrvaneInbox> inbox;
    COrvaneLan* const lan; // outlives the reader: the reader stops when it goes
    std::atomic<bool> closed{false};
};

// Where broadcasts go. They leave from the reader's socket, so that their source is the LAN
// port, as with every other station; sending on a native socket is safe from any thread.
struct COrvaneLan::Sender {
    quint32 address = 0;
    quint16 port = 0;
};

COrvaneLan::COrvaneLan(QObject* parent)
    : QObject(parent), m_drops(std::make_shared<OrvaneDropCounts>()) {}

COrvaneLan::~COrvaneLan() {
    Close();
}

bool COrvaneLan::Init(const char* broadcastAddress, int port) {
    Close();
    m_broadcastAddress = broadcastAddress != nullptr ? broadcastAddress : "";
    m_sendAddressValid = IsIpv4Address(m_broadcastAddress);
    if (port < 1 || port > 65535)
        return false;
    auto delivery = std::make_shared<Delivery>(this);
    auto reader = std::make_unique<COrvaneReader>(
        delivery->inbox, [delivery] { Delivery::Post(delivery); }, m_drops);
    if (!reader->Start(static_cast<quint16>(port)))
        return false;
    m_reader = std::move(reader);
    m_delivery = std::move(delivery);
    m_port = port;
    OpenSender();
    return true;
}

void COrvaneLan::OpenSender() {
    QHostAddress address;
    if (!m_sendAddressValid || !address.setAddress(QString::fromLatin1(m_broadcastAddress.c_str())))
        return;
    auto sender = std::make_unique<Sender>();
    sender->address = address.toIPv4Address();
    sender->port = static_cast<quint16>(m_port);
    m_sender = std::move(sender);
}

bool COrvaneLan::Send(const char* text) {
    if (text == nullptr || !m_sender || !m_reader)
        return false;
    // A datagram that the socket refuses (too long, buffer full) is lost, as on any LAN.
    return OrvaneSendTo(m_reader->Descriptor(), OrvaneBuildDatagram(text), m_sender->address,
                        m_sender->port);
}

void COrvaneLan::Close() {
    if (m_delivery)
        m_delivery->closed = true;
    m_reader.reset();
    if (m_delivery)
        m_delivery->inbox->Clear();
    m_delivery.reset();
    m_sender.reset();
}

bool COrvaneLan::IsOpen() const {
    return m_reader != nullptr;
}

std::uint64_t COrvaneLan::DroppedCount() const {
    return m_drops->full;
}

std::uint64_t COrvaneLan::TooLongCount() const {
    return m_drops->tooLong;
}

std::uint64_t COrvaneLan::BadDatagramCount() const {
    return m_drops->badDatagram;
}

std::int64_t COrvaneLan::PendingBytes() const {
    return m_delivery ? m_delivery->inbox->Bytes() : 0;
}

std::int64_t COrvaneLan::AccountedSize(std::int64_t textSize) {
    return COrvaneInbox::Cost(textSize);
}

QByteArray OrvaneBuildDatagram(const char* text) {
    if (text == nullptr)
        text = "";
    const std::size_t size = std::strlen(text);
    QByteArray datagram(text, static_cast<qsizetype>(size));
    datagram.append(static_cast<char>(DatagramChecksum(text, size)));
    datagram.append('\0');
    return datagram;
}

bool OrvaneCheckDatagram(const char* data, std::size_t size, QByteArray& text) {
    if (data == nullptr)
        return false;
    if (size > 0 && data[size - 1] == 0)
        --size;
    if (size == 0 || std::memchr(data, 0, size) != nullptr)
        return false;
    const std::size_t textSize = size - 1;
    if (static_cast<unsigned char>(data[textSize]) != DatagramChecksum(data, textSize))
        return false;
    text = QByteArray(data, static_cast<qsizetype>(textSize));
    return true;
}

int ORVANE_parse(char* fields[ORVANE_MAX_FIELDS], char* text) {
    if (fields == nullptr || text == nullptr)
        return 0;
    std::size_t size = std::strlen(text);
    // Tunnel lines are parsed with their checksum byte still on.
    if (size > 0 && (static_cast<unsigned char>(text[size - 1]) & 0x80) != 0 &&
        static_cast<unsigned char>(text[size - 1]) == DatagramChecksum(text, size - 1))
        text[--size] = 0;
    char* p = text;
    char* const end = text + size;
    int count = 0;
    while (count < ORVANE_MAX_FIELDS) {
        while (p < end && IsBlank(*p))
            ++p;
        if (p == end)
            break;
        p = CutField(p, end, fields[count++]);
    }
    return count;
}

namespace {
COrvaneLan& ProcessLan() {
    static COrvaneLan lan;
    return lan;
}
} // namespace

COrvaneLan& ORVANE_init(const char* broadcastAddress, int port) {
    ProcessLan().Init(broadcastAddress, port);
    return ProcessLan();
}

void ORVANE_send(const char* text) {
    ProcessLan().Send(text);
}

void ORVANE_close() {
    ProcessLan().Close();
}
