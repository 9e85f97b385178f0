#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QSet>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Writes log lines to a descriptor from a thread of its own, so the event loop never waits
// for a reader (a full pipe, a stopped terminal). What cannot be written yet is kept up to a
// bound; beyond it lines are dropped and counted. A write error (a full disk) drops the lines
// at hand and is tried again a second later. The count of dropped lines is logged once
// writing works again.
class CLogWriter {
public:
    // Makes a whole line, newline included, of a text of the writer's own (the count of lines
    // dropped); called on the writer's thread.
    using OwnLine = std::function<QByteArray(const QByteArray& text)>;

    explicit CLogWriter(int fd, std::size_t maxQueuedBytes = 1024 * 1024, OwnLine ownLine = {});
    // Waits up to a second for the rest to be written, then gives up on it.
    ~CLogWriter();
    CLogWriter(const CLogWriter&) = delete;
    CLogWriter& operator=(const CLogWriter&) = delete;

    // One whole line, newline included. Never blocks.
    void Write(const QByteArray& line);
    std::uint64_t DroppedTotal() const { return m_droppedTotal; }

private:
    void Run();
    bool WriteAll(const char* data, std::size_t size);
    // Writes how many lines were lost, if any; true when nothing is left to report.
    bool WriteNote(std::uint64_t& unreported);

    int m_fd;
    std::size_t m_maxQueued;
    OwnLine m_ownLine;
    bool m_torn = false; // the last write stopped within a line
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QByteArray> m_queue;
    std::size_t m_queuedBytes = 0;
    std::uint64_t m_droppedSinceReport = 0;
    std::atomic<std::uint64_t> m_droppedTotal = 0;
    std::atomic<bool> m_stopping = false;
    std::thread m_thread;
};

class CLogSummary;

// Every message of Qt's own (its warnings, from any thread) as a line of the server's log
// instead of a write to standard error that a full pipe would block: stamped, on one line of
// bounded length, and summed up when the same message keeps coming. One at a time; the
// handler before it is back when it ends.
class CQtMessageLog {
public:
    // Makes a whole line, newline included, of a text.
    using Stamp = std::function<QByteArray(const QString& text)>;

    CQtMessageLog(std::shared_ptr<CLogWriter> writer, Stamp stamp, qint64 windowMs = 60000);
    ~CQtMessageLog();
    CQtMessageLog(const CQtMessageLog&) = delete;
    CQtMessageLog& operator=(const CQtMessageLog&) = delete;

    // Sums up the messages whose window has ended; all of them when flushAll.
    void Flush(bool flushAll = false);

    // Characters of one message kept in its line.
    static constexpr int kMaxText = 1000;
    // Messages told apart in a window; others are summed up together.
    static constexpr qsizetype kMaxKinds = 64;
    // Messages of one kind logged one by one in a window.
    static constexpr int kShown = 3;

private:
    static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text);
    void Log(QtMsgType type, const char* category, const QString& text);
    void Write(const QString& text) { m_writer->Write(m_stamp(text)); }

    std::shared_ptr<CLogWriter> m_writer;
    Stamp m_stamp;
    qint64 m_windowMs;
    QElapsedTimer m_clock;
    std::mutex m_mutex;
    std::unique_ptr<CLogSummary> m_summary;
    QSet<QString> m_kinds; // told apart since kindsSince
    qint64 m_kindsSince = 0;
    QtMessageHandler m_previous = nullptr;
};
