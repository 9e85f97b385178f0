#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// Calls a function from the event loop on each SIGUSR1 (several at once may be answered
// once), so that a headless Kavlink can be asked for its status. The handler only writes a
// byte to a pipe that the loop watches. One at a time per process.
class CStatusSignal {
public:
    explicit CStatusSignal(std::function<void()> onSignal);
    ~CStatusSignal();
    CStatusSignal(const CStatusSignal&) = delete;
    CStatusSignal& operator=(const CStatusSignal&) = delete;

    bool Installed() const { return m_notifier != nullptr; }

private:
    std::function<void()> m_onSignal;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
