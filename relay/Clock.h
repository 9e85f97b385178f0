#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>

// The calendar clock in whole seconds since 1970-01-01 00:00 UTC. Injectable so that tests
// never wait for the 60 s time-out or the 300 s expiry.
using CalendarClock = std::function<std::int64_t()>;

inline std::int64_t SystemCalendarSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// A clock that never jumps, in nanoseconds from an arbitrary start: for pacing and for
// measuring quiet periods. Injectable like the calendar clock.
using MonotonicClock = std::function<std::int64_t()>;

inline std::int64_t SystemMonotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
