#include "CSignalWatcher.h"

#include "CSignalPipe.h"

#include <csignal>

CSignalWatcher::CSignalWatcher(QObject* parent) : QObject(parent) {
    // A client gone mid-write must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    m_terminate = std::make_unique<CSignalPipe>(
        std::initializer_list<int>{SIGTERM, SIGINT}, [this] { emit terminateRequested(); },
        SIG_DFL);
    m_reload = std::make_unique<CSignalPipe>(
        std::initializer_list<int>{SIGHUP}, [this] { emit reloadRequested(); }, SIG_DFL);
    m_status = std::make_unique<CSignalPipe>(
        std::initializer_list<int>{SIGUSR1}, [this] { emit statusRequested(); }, SIG_DFL);
}

CSignalWatcher::~CSignalWatcher() = default;

bool CSignalWatcher::IsValid() const {
    return m_terminate->Installed() && m_reload->Installed() && m_status->Installed();
}
