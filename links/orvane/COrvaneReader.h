#pragma once

#include <QByteArray>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class QUdpSocket;

// The receiving side of a LAN endpoint: a UDP socket on the LAN port, with address sharing
// and broadcast, drained on a thread of its own so that a burst waits in our memory rather
// than overflowing the kernel's small socket buffer while the window is busy. Each valid
// datagram is posted to the window; past maxPendingBytes waiting, datagrams are dropped.
class COrvaneReader {
public:
    COrvaneReader(QObject* window, QEvent::Type type,
                  std::shared_ptr<std::atomic<std::int64_t>> pendingBytes,
                  std::int64_t maxPendingBytes);
    ~COrvaneReader();
    COrvaneReader(const COrvaneReader&) = delete;
    COrvaneReader& operator=(const COrvaneReader&) = delete;

    // Binds 0.0.0.0:port on the reader thread; false when the port cannot be had.
    bool Start(quint16 port);
    std::uint64_t DroppedCount() const { return m_dropped; }
    // The bound socket, so that broadcasts leave from the LAN port too; -1 when not open.
    qintptr Descriptor() const { return m_descriptor; }

private:
    bool Open(quint16 port);
    void Drain();
    void Deliver(const char* data, std::size_t size);
    void Stop();

    QObject* m_window;
    QEvent::Type m_type;
    std::shared_ptr<std::atomic<std::int64_t>> m_pendingBytes;
    std::int64_t m_maxPendingBytes;
    std::atomic<std::uint64_t> m_dropped{0};
    QThread m_thread;
    QObject m_context; // lives on the reader thread while it runs
    QUdpSocket* m_socket = nullptr;
    std::atomic<qintptr> m_descriptor{-1};
    std::vector<char> m_buffer;
};

// Memory a posted message event holds, as counted against the bound.
std::int64_t OrvaneEventCost(const QByteArray& text);
// SO_BROADCAST on a native socket.
bool OrvaneEnableBroadcast(qintptr socketDescriptor);
// One datagram from a native socket to an IPv4 address and port; any thread may call it.
bool OrvaneSendTo(qintptr socketDescriptor, const QByteArray& datagram, quint32 ipv4, quint16 port);
