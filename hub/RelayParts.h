#pragma once

#include "CMinuteRate.h"
#include "Clock.h"
#include "StatusText.h"

#include <cstdint>
#include <functional>
#include <string>

class CDebugLog;
class CEchoMemory;
class COrvaneLan;
class CTunnelSession;
class CWanStations;
struct Settings;

// What both relay directions count as it happens; the status adds the drops counted in the
// links and the paced queue.
struct RelayCounters {
    DirectionCounts toWan;
    DirectionCounts toLan;
    std::uint64_t helloRewritten = 0;
    std::uint64_t inventoryAnswered = 0;
    std::uint64_t heartbeatsReceived = 0;
    CMinuteRate toWanRate;
    CMinuteRate toLanRate;
};

// What the two relay directions share; the hub owns all of it.
struct RelayParts {
    const Settings& settings;
    CDebugLog& log;
    CTunnelSession& session;
    COrvaneLan& lan;
    CWanStations& wanStations;
    // The WAN messages broadcast on the LAN, until their echo comes back.
    CEchoMemory& lanEchoes;
    RelayCounters& counters;
    MonotonicClock clock;
    // Every broadcast on the LAN goes through here; false when it could not be sent.
    std::function<bool(const std::string&)> sendToLan;

    std::int64_t Second() const { return clock() / kNanosecondsPerSecond; }
};
