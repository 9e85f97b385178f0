#include "ServerClock.h"

#include <chrono>

ServerClock SteadyServerClock() {
    return [] {
        return static_cast<qint64>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count());
    };
}
