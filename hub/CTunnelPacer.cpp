#include "CTunnelPacer.h"

#include <algorithm>

CTunnelPacer::CTunnelPacer(Sink sink, MonotonicClock clock, QObject* parent)
    : QObject(parent), m_sink(std::move(sink)), m_clock(std::move(clock)) {
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CTunnelPacer::Tick);
}

bool CTunnelPacer::Enqueue(std::string line, std::int64_t maxWaitNs, std::string note) {
    const std::int64_t now = m_clock();
    if (m_queue.empty()) {
        if ((!m_slotStarted || now >= m_nextSlot) && m_sink(line, note)) {
            // An isolated line leaves at once; its slot starts now.
            m_nextSlot = now + kSlotNs;
            m_slotStarted = true;
            return true;
        }
    }
    std::optional<std::int64_t> dropAfter;
    if (maxWaitNs != kNoWaitLimit)
        dropAfter = now + maxWaitNs;
    QueuedLine queued{std::move(line), std::move(note), dropAfter};
    const std::int64_t cost = queued.Cost();
    if (m_bytes + cost > kMaxQueuedBytes)
        return false;
    m_bytes += cost;
    m_queue.push_back(std::move(queued));
    if (!m_timerWanted)
        ScheduleTimer(false);
    return true;
}

void CTunnelPacer::Tick() {
    if (m_sending)
        return;
    m_sending = true;
    const bool blocked = !SendDue(m_clock());
    m_sending = false;
    if (m_queue.empty()) {
        m_timer.stop();
        m_timerWanted = false;
    } else {
        ScheduleTimer(blocked);
    }
}

bool CTunnelPacer::SendDue(std::int64_t now) {
    while (!m_queue.empty() && (!m_slotStarted || now >= m_nextSlot)) {
        const QueuedLine& front = m_queue.front();
        if (front.dropAfter && now > *front.dropAfter) {
            // Too late to be of use: the next line takes this slot instead.
            if (m_stale)
                m_stale(front.line, front.note);
            PopFront();
            continue;
        }
        if (!m_sink(front.line, front.note))
            return false;
        PopFront();
        m_nextSlot = (m_slotStarted ? std::max(m_nextSlot, now - kCatchUpNs) : now) + kSlotNs;
        m_slotStarted = true;
    }
    return true;
}

void CTunnelPacer::PopFront() {
    m_bytes -= m_queue.front().Cost();
    m_queue.pop_front();
}

void CTunnelPacer::Clear() {
    m_queue.clear();
    m_bytes = 0;
    m_timer.stop();
    m_timerWanted = false;
}

void CTunnelPacer::SetManualTimer(bool manual) {
    m_manual = manual;
    if (manual)
        m_timer.stop();
    else if (m_timerWanted)
        ScheduleTimer(false);
}

void CTunnelPacer::ScheduleTimer(bool blocked) {
    m_timerWanted = true;
    if (m_manual)
        return;
    const int period = blocked ? kBlockedRetryMs : 1;
    if (!m_timer.isActive() || m_timer.interval() != period)
        m_timer.start(period);
}
