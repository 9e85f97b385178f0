#include "CClockDeadline.h"

#include <QTimerEvent>

#include <algorithm>
#include <limits>

void CClockDeadline::StartAt(qint64 at, qint64 now, QObject* receiver) {
    m_at = std::max<qint64>(at, 0);
    Arm(now, receiver);
}

void CClockDeadline::StartNextPeriod(qint64 periodMs, qint64 now, QObject* receiver) {
    const qint64 next = m_at >= 0 ? m_at + periodMs : now + periodMs;
    StartAt(next > now ? next : now + periodMs, now, receiver);
}

bool CClockDeadline::PeriodDue(qint64 periodMs, qint64 now, QObject* receiver) {
    if (!Reached(now))
        return false;
    StartNextPeriod(periodMs, now, receiver);
    return true;
}

void CClockDeadline::Stop() {
    m_at = -1;
    m_timer.stop();
}

bool CClockDeadline::Owns(const QTimerEvent* event) const {
    return m_timer.isActive() && event->timerId() == m_timer.timerId();
}

bool CClockDeadline::WokeUp(qint64 now, QObject* receiver) {
    m_timer.stop();
    if (m_at < 0)
        return false;
    if (Reached(now))
        return true;
    Arm(now, receiver);
    return false;
}

void CClockDeadline::Arm(qint64 now, QObject* receiver) {
    const qint64 wait = std::clamp<qint64>(m_at - now, 0, std::numeric_limits<int>::max());
    m_timer.start(static_cast<int>(wait), Qt::PreciseTimer, receiver);
}
