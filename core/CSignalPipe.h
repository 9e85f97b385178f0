#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

class QSocketNotifier;

// Turns signals into calls from the event loop. The handler only writes the signal's number
// to a pipe (non-blocking, close-on-exec) and leaves errno as it found it; the loop empties the
// pipe and calls onSignal once for each signal that came, however often it came. One pipe
// serves a whole group of signals, so a program spends two descriptors on all of them. A
// signal already taken by another pipe makes this one stay uninstalled.
class CSignalPipe {
public:
    // When the pipe goes, its signals get afterwards (SIG_DFL, SIG_IGN).
    CSignalPipe(std::initializer_list<int> signalNumbers,
                std::function<void(int signalNumber)> onSignal, void (*afterwards)(int));
    ~CSignalPipe();
    CSignalPipe(const CSignalPipe&) = delete;
    CSignalPipe& operator=(const CSignalPipe&) = delete;

    bool Installed() const { return m_notifier != nullptr; }

private:
    std::vector<int> m_signals;
    std::function<void(int)> m_onSignal;
    void (*m_afterwards)(int);
    int m_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
};
