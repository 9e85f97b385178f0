#pragma once

#include <cstdint>

class CDebugLog;

// Counts the messages dropped at one place. A run of drops writes two level-1 lines: one at
// its first drop and one with its count once a quiet second has passed, so a flood cannot
// fill the log and a lasting loss is never silent.
class CDropTally {
public:
    // place: "Tunnel queue full"; items: "messages to WAN".
    CDropTally(CDebugLog& log, const char* place, const char* items);

    // n more drops seen at monotonic time now (nanoseconds).
    void Add(std::uint64_t n, std::int64_t now);
    // Ends the current run when nothing was dropped for kQuietNs.
    void Check(std::int64_t now);
    // Ends the current run whatever the time (at exit).
    void Finish();

    std::uint64_t Total() const { return m_total; }
    bool InRun() const { return m_inRun; }

    static constexpr std::int64_t kQuietNs = 1'000'000'000;

private:
    CDebugLog& m_log;
    const char* m_place;
    const char* m_items;
    std::uint64_t m_total = 0;
    std::uint64_t m_run = 0;
    std::int64_t m_lastDrop = 0;
    bool m_inRun = false;
};
