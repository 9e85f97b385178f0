#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

// The calendar clock in whole seconds since 1970-01-01 00:00 UTC. Injectable so that tests
// never wait for the 60 s time-out or the 300 s expiry.
using CalendarClock = std::function<std::int64_t()>;

inline std::int64_t SystemCalendarSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}
