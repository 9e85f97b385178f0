#include "CTerminationSignals.h"

#include <QCoreApplication>

#include <csignal>

CTerminationSignals::CTerminationSignals()
    : m_pipe(
          {SIGTERM, SIGINT, SIGHUP}, [](int) { QCoreApplication::quit(); }, SIG_DFL) {}
