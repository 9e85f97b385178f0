#include "CLogWriter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include <poll.h>
#include <unistd.h>

namespace {
// A write no larger than this goes into a pipe whole once poll says there is room.
constexpr std::size_t kChunk = 4096;
constexpr int kPollMs = 100;
constexpr int kGiveUpPolls = 10; // once stopping: a second without progress
} // namespace

CLogWriter::CLogWriter(int fd, std::size_t maxQueuedBytes)
    : m_fd(fd), m_maxQueued(maxQueuedBytes), m_thread([this] { Run(); }) {}

CLogWriter::~CLogWriter() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void CLogWriter::Write(const QByteArray& line) {
    {
        std::lock_guard lock(m_mutex);
        if (m_queuedBytes + static_cast<std::size_t>(line.size()) > m_maxQueued) {
            ++m_droppedSinceReport;
            ++m_droppedTotal;
            return;
        }
        m_queue.push_back(line);
        m_queuedBytes += static_cast<std::size_t>(line.size());
    }
    m_wake.notify_one();
}

void CLogWriter::Run() {
    for (;;) {
        std::deque<QByteArray> batch;
        std::uint64_t dropped = 0;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty() && m_droppedSinceReport == 0)
                return;
            batch.swap(m_queue);
            dropped = m_droppedSinceReport;
            m_droppedSinceReport = 0;
        }
        for (const QByteArray& line : batch) {
            if (!WriteAll(line.constData(), static_cast<std::size_t>(line.size())))
                return;
            std::lock_guard lock(m_mutex);
            m_queuedBytes -= static_cast<std::size_t>(line.size());
        }
        if (dropped > 0) {
            const std::string note =
                std::to_string(dropped) + " log lines dropped: the log could not be written\n";
            if (!WriteAll(note.data(), note.size()))
                return;
        }
    }
}

// Blocks this thread only; when stopping, gives up after a second without progress.
bool CLogWriter::WriteAll(const char* data, std::size_t size) {
    int idlePolls = 0;
    while (size > 0) {
        pollfd p = {m_fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, kPollMs);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0) {
            if (m_stopping && ++idlePolls >= kGiveUpPolls)
                return false;
            continue;
        }
        if ((p.revents & (POLLERR | POLLNVAL)) != 0)
            return false;
        const ssize_t n = ::write(m_fd, data, std::min(size, kChunk));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        idlePolls = 0;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}
