#include "CStatusSignal.h"

#include <QSocketNotifier>

#ifndef _WIN32
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int g_statusPipe[2] = {-1, -1};

extern "C" void OnStatusSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a pending request.
    [[maybe_unused]] const ssize_t written = ::write(g_statusPipe[1], &byte, 1);
    errno = saved;
}

void HandleStatusSignal(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGUSR1, &action, nullptr);
}
} // namespace

CStatusSignal::CStatusSignal(std::function<void()> onSignal) : m_onSignal(std::move(onSignal)) {
    if (g_statusPipe[0] >= 0 || ::pipe2(g_statusPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_statusPipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
        char bytes[16];
        while (::read(g_statusPipe[0], bytes, sizeof bytes) > 0) {
        }
        if (m_onSignal)
            m_onSignal();
    });
    HandleStatusSignal(OnStatusSignal);
}

CStatusSignal::~CStatusSignal() {
    if (!m_notifier)
        return;
    // Ignored rather than the default, which would end the process.
    HandleStatusSignal(SIG_IGN);
    m_notifier.reset();
    for (int& fd : g_statusPipe) {
        ::close(fd);
        fd = -1;
    }
}

#else

CStatusSignal::CStatusSignal(std::function<void()> onSignal) : m_onSignal(std::move(onSignal)) {}
CStatusSignal::~CStatusSignal() = default;

#endif
