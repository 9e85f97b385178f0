#include "CLinkTimer.h"

CLinkTimer::CLinkTimer(QObject* parent) : QObject(parent) {
    // Coarse timers may fire up to 5 % early; the periods are part of the protocol.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CLinkTimer::timeout);
}

void CLinkTimer::SetManual(bool manual) {
    m_manual = manual;
    if (manual)
        m_timer.stop();
}

void CLinkTimer::Start(int milliseconds) {
    m_running = true;
    m_periodMs = milliseconds;
    if (!m_manual)
        m_timer.start(milliseconds);
}

void CLinkTimer::Stop() {
    m_running = false;
    m_timer.stop();
}
