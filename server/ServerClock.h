#pragma once

#include <QtGlobal>

#include <functional>

// Monotonic milliseconds for the server's limits and summaries. Injectable so that tests make
// minutes pass without waiting.
using ServerClock = std::function<qint64()>;

ServerClock SteadyServerClock();
