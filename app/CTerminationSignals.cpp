#include "CTerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int g_pipe[2] = {-1, -1};
// SIGHUP: the terminal that started us was closed.
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void OnTerminationSignal(int) {
    const char byte = 1;
    // A full pipe already holds a pending request to quit.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
}

bool OpenPipe() {
    if (::pipe(g_pipe) != 0)
        return false;
    for (const int fd : g_pipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return true;
}

void ClosePipe() {
    for (int& fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void SetHandlers(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}
} // namespace

CTerminationSignals::CTerminationSignals() {
    if (g_pipe[0] >= 0 || !OpenPipe())
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [] {
        char bytes[16];
        while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    SetHandlers(OnTerminationSignal);
}

CTerminationSignals::~CTerminationSignals() {
    if (!m_notifier)
        return;
    SetHandlers(SIG_DFL);
    m_notifier.reset();
    ClosePipe();
}

#else

CTerminationSignals::CTerminationSignals() = default;
CTerminationSignals::~CTerminationSignals() = default;

#endif
