#include "CTunnelPacer.h"

#include <algorithm>

CTunnelPacer::CTunnelPacer(Sink sink, MonotonicClock clock, QObject* parent)
    : QObject(parent), m_sink(std::move(sink)), m_clock(std::move(clock)) {
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CTunnelPacer::Tick);
}

bool CTunnelPacer::Enqueue(std::string line) {
    if (m_queue.empty()) {
        const std::int64_t now = m_clock();
        if ((!m_slotStarted || now >= m_nextSlot) && m_sink(line)) {
            // An isolated line leaves at once; its slot starts now.
            m_nextSlot = now + kSlotNs;
            m_slotStarted = true;
            return true;
        }
    }
    const std::int64_t cost = Cost(line.size());
    if (m_bytes + cost > kMaxQueuedBytes)
        return false;
    m_bytes += cost;
    m_queue.push_back(std::move(line));
    if (!m_timerWanted)
        ScheduleTimer(false);
    return true;
}

void CTunnelPacer::Tick() {
    const bool blocked = !SendDue(m_clock());
    if (m_queue.empty()) {
        m_timer.stop();
        m_timerWanted = false;
    } else {
        ScheduleTimer(blocked);
    }
}

bool CTunnelPacer::SendDue(std::int64_t now) {
    while (!m_queue.empty() && (!m_slotStarted || now >= m_nextSlot)) {
        if (!m_sink(m_queue.front()))
            return false;
        m_bytes -= Cost(m_queue.front().size());
        m_queue.pop_front();
        m_nextSlot = (m_slotStarted ? std::max(m_nextSlot, now - kCatchUpNs) : now) + kSlotNs;
        m_slotStarted = true;
    }
    return true;
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
