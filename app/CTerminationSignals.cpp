#include "CTerminationSignals.h"

#include <QCoreApplication>

#include <csignal>

// exit(), not quit(): quit() first asks every window to close, and the about panel refuses
// while it waits for a tray host. exit() leaves every loop, a dialog's too.
CTerminationSignals::CTerminationSignals()
    : m_pipe(
          {SIGTERM, SIGINT, SIGHUP}, [](int) { QCoreApplication::exit(0); }, SIG_DFL) {}
