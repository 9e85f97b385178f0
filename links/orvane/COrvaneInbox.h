#pragma once

#include <QByteArray>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

// The messages that the reader thread received and the window has not handled yet, in arrival
// order. The reader adds one at a time; the window's thread takes them in batches, so that a
// burst never floods the event queue and the loop still reaches sockets, timers and signals
// between two batches. The byte bound counts what the queue really holds.
class COrvaneInbox {
public:
    explicit COrvaneInbox(std::int64_t maxBytes) : m_maxBytes(maxBytes) {}

    enum class Added { Queued, QueuedWake, Full };
    // QueuedWake: the window must be told; until it has emptied the inbox, no other wake.
    Added Add(QByteArray text);
    // Moves up to max messages to out; false when none are left, so the next Add wakes.
    bool Take(std::deque<QByteArray>& out, std::size_t max);
    // A taken message is handled: its bytes no longer count.
    void Release(const QByteArray& text) { m_bytes -= Cost(text.size()); }
    void Clear();

    // Bytes of the waiting messages and of those taken but not handled yet.
    std::int64_t Bytes() const { return m_bytes; }
    // Text, the QByteArray header and the allocation around it, the queue's own slot.
    static constexpr std::int64_t Cost(std::int64_t textSize) { return textSize + 64; }

private:
    const std::int64_t m_maxBytes;
    std::mutex m_mutex;
    std::deque<QByteArray> m_queue;
    std::atomic<std::int64_t> m_bytes{0};
    bool m_wakePending = false;
};
