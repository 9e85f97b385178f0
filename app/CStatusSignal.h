#pragma once

#include "CSignalPipe.h"

#include <functional>

// Calls a function from the event loop on each SIGUSR1 (several at once may be answered
// once), so that a headless Kavlink can be asked for its status. One at a time per process.
class CStatusSignal {
public:
    explicit CStatusSignal(std::function<void()> onSignal);

    bool Installed() const { return m_pipe.Installed(); }

private:
    CSignalPipe m_pipe;
};
