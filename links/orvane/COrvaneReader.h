#pragma once

#include <QByteArray>
#include <QObject>
#include <QThread>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class COrvaneInbox;
class QUdpSocket;

// What the readers of one endpoint turned away, for the whole life of the endpoint.
struct OrvaneDropCounts {
    std::atomic<std::uint64_t> full{0};        // the inbox held its bound already
    std::atomic<std::uint64_t> tooLong{0};     // a text no logging network message can have
    std::atomic<std::uint64_t> badDatagram{0}; // checksum, NUL or empty
};

// The receiving side of a LAN endpoint: a UDP socket on the LAN port, with address sharing
// and broadcast, drained on a thread of its own so that a burst waits in our memory rather
// than overflowing the kernel's small socket buffer while the window is busy. Each valid
// datagram goes to the inbox; wake is called on the reader thread when the inbox needs the
// window's attention. Junk is counted and dropped here, so it costs the window nothing.
class COrvaneReader {
public:
    COrvaneReader(std::shared_ptr<COrvaneInbox> inbox, std::function<void()> wake,
                  std::shared_ptr<OrvaneDropCounts> drops);
    ~COrvaneReader();
    COrvaneReader(const COrvaneReader&) = delete;
    COrvaneReader& operator=(const COrvaneReader&) = delete;

    // Binds 0.0.0.0:port on the reader thread; false when the port cannot be had.
    bool Start(quint16 port);
    // The bound socket, so that broadcasts leave from the LAN port too; -1 when not open.
    qintptr Descriptor() const { return m_descriptor; }

private:
    bool Open(quint16 port);
    void Drain();
    void Deliver(const char* data, std::size_t size);
    void Stop();

    std::shared_ptr<COrvaneInbox> m_inbox;
    std::function<void()> m_wake;
    std::shared_ptr<OrvaneDropCounts> m_drops;
    QThread m_thread;
    QObject m_context; // lives on the reader thread while it runs
    QUdpSocket* m_socket = nullptr;
    std::atomic<qintptr> m_descriptor{-1};
    std::vector<char> m_buffer;
};

// SO_BROADCAST on a native socket.
bool OrvaneEnableBroadcast(qintptr socketDescriptor);
// One datagram from a native socket to an IPv4 address and port; any thread may call it.
bool OrvaneSendTo(qintptr socketDescriptor, const QByteArray& datagram, quint32 ipv4, quint16 port);
