#include "CSignalWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_fds[2] = {-1, -1};

void OnSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    // Nothing else is safe in a handler; a full pipe just loses a duplicate signal.
    [[maybe_unused]] const ssize_t written = write(g_fds[0], &byte, 1);
    errno = saved;
}

bool Install(int number) {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(number, &action, nullptr) == 0;
}
} // namespace

CSignalWatcher::CSignalWatcher(QObject* parent) : QObject(parent) {
    if (g_fds[0] >= 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_fds) != 0)
        return;
    m_ownsPair = true;
    fcntl(g_fds[0], F_SETFL, O_NONBLOCK);
    fcntl(g_fds[1], F_SETFL, O_NONBLOCK);
    std::signal(SIGPIPE, SIG_IGN);
    if (!Install(SIGTERM) || !Install(SIGINT) || !Install(SIGHUP) || !Install(SIGUSR1))
        return;
    m_notifier = new QSocketNotifier(g_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CSignalWatcher::OnSignalByte);
}

CSignalWatcher::~CSignalWatcher() {
    if (!m_ownsPair)
        return;
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    std::signal(SIGUSR1, SIG_DFL);
    delete m_notifier;
    close(g_fds[0]);
    close(g_fds[1]);
    g_fds[0] = g_fds[1] = -1;
}

void CSignalWatcher::OnSignalByte() {
    unsigned char bytes[16];
    ssize_t n;
    while ((n = read(g_fds[1], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == SIGHUP)
                emit reloadRequested();
            else if (bytes[i] == SIGUSR1)
                emit statusRequested();
            else
                emit terminateRequested();
        }
    }
}
