#include "CLogWriter.h"

#include "CLogSummary.h"
#include "LogText.h"

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

namespace {
std::atomic<CQtMessageLog*> g_qtLog = nullptr;
// A message made while one is logged (by the log's own code) is dropped, not looped on.
thread_local bool t_logging = false;

const char* TypeName(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "message";
}
} // namespace

CQtMessageLog::CQtMessageLog(std::shared_ptr<CLogWriter> writer, Stamp stamp, qint64 windowMs)
    : m_writer(std::move(writer)), m_stamp(std::move(stamp)), m_windowMs(windowMs),
      m_summary(std::make_unique<CLogSummary>(windowMs, kShown)) {
    m_clock.start();
    g_qtLog = this;
    m_previous = qInstallMessageHandler(&CQtMessageLog::Handle);
}

CQtMessageLog::~CQtMessageLog() {
    qInstallMessageHandler(m_previous);
    g_qtLog = nullptr;
    Flush(true);
}

void CQtMessageLog::Handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    CQtMessageLog* log = g_qtLog;
    if (log == nullptr || t_logging)
        return;
    t_logging = true;
    log->Log(type, context.category, text);
    t_logging = false;
}

void CQtMessageLog::Log(QtMsgType type, const char* category, const QString& text) {
    const QString shown = QuotedText(text.toUtf8(), kMaxText);
    const QString from = category != nullptr ? QString::fromUtf8(category) : QStringLiteral("qt");
    std::lock_guard lock(m_mutex);
    const qint64 now = m_clock.elapsed();
    if (now - m_kindsSince >= m_windowMs) {
        m_kinds.clear();
        m_kindsSince = now;
    }
    QString kind = QStringLiteral("Qt %1s \"%2\"").arg(TypeName(type), shown.left(200));
    if (!m_kinds.contains(kind)) {
        if (m_kinds.size() < kMaxKinds)
            m_kinds.insert(kind);
        else
            kind = QStringLiteral("Qt messages of other kinds");
    }
    m_summary->Flush(now, [this](const QString& line) { Write(line); });
    if (m_summary->Count(kind, from, now))
        Write(QStringLiteral("Qt %1 (%2): \"%3\"").arg(TypeName(type), from, shown));
}

void CQtMessageLog::Flush(bool flushAll) {
    std::lock_guard lock(m_mutex);
    m_summary->Flush(
        m_clock.elapsed(), [this](const QString& line) { Write(line); }, flushAll);
}
