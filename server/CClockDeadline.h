#pragma once

#include <QBasicTimer>
#include <QtGlobal>

class QObject;
class QTimerEvent;

// A moment on the server's clock, and a precise timer that wakes the event loop for it. The
// clock decides, not the timer: a wake-up before the moment (a test's clock that has not
// moved) only arms the timer again, and Tick() finds what is due without any timer.
class CClockDeadline {
public:
    void StartAt(qint64 at, qint64 now, QObject* receiver);
    void Start(qint64 delayMs, qint64 now, QObject* receiver) {
        StartAt(now + delayMs, now, receiver);
    }
    // The next moment of a period: one period after this one, or after now when behind, so a
    // stalled loop does not bring a burst of catch-ups.
    void StartNextPeriod(qint64 periodMs, qint64 now, QObject* receiver);
    // For a period: true once its moment has come, with the next moment already set.
    bool PeriodDue(qint64 periodMs, qint64 now, QObject* receiver);
    void Stop();

    bool IsActive() const { return m_at >= 0; }
    bool Reached(qint64 now) const { return m_at >= 0 && now >= m_at; }
    bool Owns(const QTimerEvent* event) const;
    // For the timer event: whether the moment has come; if not, waits again for the rest.
    bool WokeUp(qint64 now, QObject* receiver);

private:
    void Arm(qint64 now, QObject* receiver);

    qint64 m_at = -1;
    QBasicTimer m_timer;
};
