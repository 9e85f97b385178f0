#pragma once

#include <memory>

class QSocketNotifier;

// Ends the application loop on SIGTERM, SIGINT and SIGHUP, the way "Exit" does, so the window is
// destroyed and the debug log closed properly. The handler only writes to a pipe; the loop
// reads it and quits.
class CTerminationSignals {
public:
    CTerminationSignals();
    ~CTerminationSignals();
    CTerminationSignals(const CTerminationSignals&) = delete;
    CTerminationSignals& operator=(const CTerminationSignals&) = delete;

    bool Installed() const { return m_notifier != nullptr; }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};
