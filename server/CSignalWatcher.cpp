#include "CSignalWatcher.h"

#include <csignal>

CSignalWatcher::CSignalWatcher(QObject* parent)
    : QObject(parent), m_pipe(
                           {SIGTERM, SIGINT, SIGHUP, SIGUSR1},
                           [this](int signalNumber) { OnSignal(signalNumber); }, SIG_DFL) {
    // A client gone while we write must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
}

void CSignalWatcher::OnSignal(int signalNumber) {
    if (signalNumber == SIGHUP)
        emit reloadRequested();
    else if (signalNumber == SIGUSR1)
        emit statusRequested();
    else
        emit terminateRequested();
}
