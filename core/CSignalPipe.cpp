#include "CSignalPipe.h"

#include <QSocketNotifier>

#include <algorithm>
#include <array>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
// The write end of the pipe each signal is taken by, -1 for none.
constinit std::array<int, NSIG> g_writeEnd = [] {
    std::array<int, NSIG> ends{};
    ends.fill(-1);
    return ends;
}();

static_assert(NSIG <= 256, "a signal's number is written as one byte");

extern "C" void OnPipedSignal(int signalNumber) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // Only a flood fills the pipe; what does not fit is lost like coalesced signals.
    [[maybe_unused]] const ssize_t written = ::write(g_writeEnd[signalNumber], &byte, 1);
    errno = saved;
}

void SetHandler(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signalNumber, &action, nullptr);
}
} // namespace

CSignalPipe::CSignalPipe(std::initializer_list<int> signalNumbers,
                         std::function<void(int)> onSignal, void (*afterwards)(int))
    : m_signals(signalNumbers), m_onSignal(std::move(onSignal)), m_afterwards(afterwards) {
    for (const int signalNumber : m_signals) {
        if (signalNumber <= 0 || signalNumber >= NSIG || g_writeEnd[signalNumber] >= 0)
            return;
    }
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
        // In the order they first came; the handler writes only our own numbers.
        std::vector<int> came;
        unsigned char bytes[64];
        ssize_t n = 0;
        while ((n = ::read(m_pipe[0], bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (std::find(came.begin(), came.end(), bytes[i]) == came.end())
                    came.push_back(bytes[i]);
            }
        }
        for (const int signalNumber : came) {
            if (m_onSignal)
                m_onSignal(signalNumber);
        }
    });
    for (const int signalNumber : m_signals) {
        g_writeEnd[signalNumber] = m_pipe[1];
        SetHandler(signalNumber, OnPipedSignal);
    }
}

CSignalPipe::~CSignalPipe() {
    if (!m_notifier)
        return;
    for (const int signalNumber : m_signals) {
        SetHandler(signalNumber, m_afterwards);
        g_writeEnd[signalNumber] = -1;
    }
    m_notifier.reset();
    for (int& fd : m_pipe) {
        ::close(fd);
        fd = -1;
    }
}
