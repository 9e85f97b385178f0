#pragma once

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
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
