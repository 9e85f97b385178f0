#include "CStatusSignal.h"

#include <csignal>

// Ignored once we are done rather than the default, which would end the process.
CStatusSignal::CStatusSignal(std::function<void()> onSignal)
    : m_pipe(
          {SIGUSR1}, [onSignal = std::move(onSignal)](int) { onSignal(); }, SIG_IGN) {}
