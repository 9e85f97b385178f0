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
constexpr int kRetryMs = 1000;   // after a write error
} // namespace

CLogWriter::CLogWriter(int fd, std::size_t maxQueuedBytes, OwnLine ownLine)
    : m_fd(fd), m_maxQueued(maxQueuedBytes), m_ownLine(std::move(ownLine)),
      m_thread([this] { Run(); }) {}

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

// A write error (a full disk) loses the lines at hand, not the writer: they are counted, and
// writing is tried again a second later; the first thing that gets through is the count.
void CLogWriter::Run() {
    using Clock = std::chrono::steady_clock;
    std::uint64_t unreported = 0;
    Clock::time_point retryAt;
    for (;;) {
        std::deque<QByteArray> batch;
        std::uint64_t overflowed = 0; // dropped by Write after this batch's lines came
        bool stopping = false;
        {
            std::unique_lock lock(m_mutex);
            // While failing, the retry comes at its moment even when nothing new is written.
            if (unreported > 0)
                m_wake.wait_until(lock, retryAt, [this] { return m_stopping.load(); });
            else
                m_wake.wait(lock, [this] {
                    return m_stopping || !m_queue.empty() || m_droppedSinceReport > 0;
                });
            batch.swap(m_queue);
            m_queuedBytes = 0;
            overflowed = m_droppedSinceReport; // Write counted these in the total
            m_droppedSinceReport = 0;
            stopping = m_stopping;
        }
        bool failed = false;
        for (const QByteArray& line : batch) {
            failed = failed || !WriteNote(unreported) ||
                     !WriteAll(line.constData(), static_cast<std::size_t>(line.size()));
            if (failed) {
                ++unreported;
                ++m_droppedTotal;
            }
        }
        unreported += overflowed;
        if (!failed && !WriteNote(unreported))
            failed = true;
        if (failed)
            retryAt = Clock::now() + std::chrono::milliseconds(kRetryMs);
        if (stopping)
            return;
    }
}

bool CLogWriter::WriteNote(std::uint64_t& unreported) {
    if (unreported == 0)
        return true;
    QByteArray note = QByteArray::number(static_cast<qulonglong>(unreported)) +
                      " log lines dropped: the log could not be written";
    note = m_ownLine ? m_ownLine(note) : note + '\n';
    if (m_torn)
        note.prepend('\n');
    if (!WriteAll(note.constData(), static_cast<std::size_t>(note.size())))
        return false;
    unreported = 0;
    return true;
}

// Blocks this thread only; when stopping, gives up after a second without progress.
bool CLogWriter::WriteAll(const char* data, std::size_t size) {
    int idlePolls = 0;
    const std::size_t whole = size;
    // A line cut short leaves the next one to start on a line of its own.
    const auto failed = [&] {
        m_torn = m_torn || size < whole;
        return false;
    };
    while (size > 0) {
        pollfd p = {m_fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, kPollMs);
        if (ready < 0 && errno != EINTR)
            return failed();
        if (ready <= 0) {
            if (m_stopping && ++idlePolls >= kGiveUpPolls)
                return failed();
            continue;
        }
        if ((p.revents & (POLLERR | POLLNVAL)) != 0)
            return failed();
        const ssize_t n = ::write(m_fd, data, std::min(size, kChunk));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return failed();
        }
        idlePolls = 0;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    m_torn = false;
    return true;
}
