#pragma once

#include <QtGlobal>

#include <array>
#include <cstdint>

// Lines each way in the last minute, from samples of the running counts taken every so often
// (the server's housekeeping), so counting a line costs nothing more.
class CLineRates {
public:
    static constexpr qint64 kStepMs = 10000;
    static constexpr qint64 kWindowMs = 60000;

    struct Lines {
        std::uint64_t in = 0;
        std::uint64_t out = 0;
    };
    // Keeps the counts of now; one sample per step, so calling it more often does no harm.
    void Sample(qint64 now, Lines total);
    // The lines since the oldest sample within the last minute (within 10 s of a minute ago
    // once the counts are that old); since the newest sample when all are older.
    Lines LastMinute(qint64 now, Lines total) const;

private:
    struct Point {
        qint64 at = -1;
        Lines total;
    };
    std::array<Point, kWindowMs / kStepMs + 1> m_points;
    std::size_t m_newest = 0;
};
