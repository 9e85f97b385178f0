#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

// Turns the event loop until the predicate holds or 10 s have passed. Unlike QTest::qWaitFor,
// which naps 10 ms whenever the loop runs dry, it goes on as soon as an event comes; a timer
// wakes it for what other threads change.
template <typename Predicate> bool WaitForEvents(Predicate predicate, int timeoutMs = 10000) {
    QTimer wake;
    wake.start(5);
    const QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}
