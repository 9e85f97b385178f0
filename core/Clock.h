#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>

// The calendar clock in whole seconds since 1970-01-01 00:00 UTC. It jumps when the time is set
// (NTP, or a TIME message of the logging network), so it only stamps what a person reads;
// every duration is measured on the monotonic clock below.
using CalendarClock = std::function<std::int64_t()>;

inline std::int64_t SystemCalendarSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// A clock that never jumps, in nanoseconds from an arbitrary start: for every time-out, expiry,
// period and age. Injectable, so that tests never wait for the 60 s time-out or the 300 s expiry.
using MonotonicClock = std::function<std::int64_t()>;

inline constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

inline std::int64_t SystemMonotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
