#include "CTerminationSignals.h"

#include <QCoreApplication>

#include <csignal>

#ifndef _WIN32
CTerminationSignals::CTerminationSignals()
    : m_pipe(
          {SIGTERM, SIGINT, SIGHUP}, [](int) { QCoreApplication::quit(); }, SIG_DFL) {}
#else
CTerminationSignals::CTerminationSignals() : m_pipe({}, {}, SIG_DFL) {}
#endif
