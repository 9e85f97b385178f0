#pragma once

#include "Clock.h"

#include <QObject>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

// Spaces the lines that enter the tunnel at least one slot (1 ms) apart, in order, without
// ever holding up the thread: lines wait in a bounded queue that a precise timer drains.
// Slots follow one another on the monotonic clock. A late tick may send the lines whose slots
// have passed, but the schedule never lags the clock by more than kCatchUpNs, so the rate
// stays one line per slot on average and a stalled loop causes no burst. A line may carry a
// longest wait: when its turn comes after that, it is stale, dropped and takes no slot.
class CTunnelPacer : public QObject {
    Q_OBJECT

public:
    // Writes one line into the tunnel; false when the tunnel cannot take it now (the line
    // then waits and is tried again). note: what the line was queued with.
    using Sink = std::function<bool(const std::string& line, const std::string& note)>;
    // Told of every line dropped as stale.
    using StaleSink = std::function<void(const std::string& line, const std::string& note)>;
    static constexpr std::int64_t kNoWaitLimit = -1;

    CTunnelPacer(Sink sink, MonotonicClock clock, QObject* parent = nullptr);

    // Sends at once when the slot is free and nothing waits; else queues. False when the
    // queue is full: the line is dropped. maxWaitNs: how long the line may wait for its turn;
    // note: handed to the sinks with the line (what to log once its fate is known).
    bool Enqueue(std::string line, std::int64_t maxWaitNs = kNoWaitLimit, std::string note = {});
    void SetStaleSink(StaleSink sink) { m_stale = std::move(sink); }
    // Sends what is due now. The timer calls it; tests with a manual timer call it by hand.
    void Tick();
    // Forgets every waiting line (the tunnel closed).
    void Clear();

    std::size_t Waiting() const { return m_queue.size(); }
    std::int64_t WaitingBytes() const { return m_bytes; }
    // With a manual timer nothing ticks by itself.
    void SetManualTimer(bool manual);
    bool IsTimerRunning() const { return m_timerWanted; }

    static constexpr std::int64_t kSlotNs = 1'000'000;
    static constexpr std::int64_t kCatchUpNs = 3'000'000;
    static constexpr std::int64_t kMaxQueuedBytes = 64ll * 1024 * 1024;
    // The retry period while the tunnel takes nothing.
    static constexpr int kBlockedRetryMs = 5;
    static constexpr std::int64_t Cost(std::size_t lineSize) {
        return static_cast<std::int64_t>(lineSize) + 64;
    }

private:
    struct QueuedLine {
        std::string line;
        std::string note;
        std::optional<std::int64_t> dropAfter; // on the monotonic clock

        std::int64_t Cost() const { return CTunnelPacer::Cost(line.size() + note.size()); }
    };
    bool SendDue(std::int64_t now);
    void PopFront();
    void ScheduleTimer(bool blocked);

    Sink m_sink;
    StaleSink m_stale;
    MonotonicClock m_clock;
    std::deque<QueuedLine> m_queue;
    std::int64_t m_bytes = 0;
    std::int64_t m_nextSlot = 0;
    bool m_slotStarted = false;
    QTimer m_timer;
    bool m_manual = false;
    bool m_timerWanted = false;
    bool m_sending = false; // a sink may cause a Tick; lines leave from one loop at a time
};
