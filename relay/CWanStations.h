#pragma once

#include "Clock.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

class CDebugLog;

// Stations whose messages arrived through the tunnel, with the time each was last seen.
class CWanStations {
public:
    CWanStations(CDebugLog& log, CalendarClock clock);

    void AddWanStation(const std::string& name);
    bool IsWanStation(const std::string& name) const;
    // Removes every entry seen earlier than threshold, one level-2 line each.
    void ExpireWanStations(std::int64_t threshold);
    void ClearWanStations();
    std::size_t Count() const { return m_stations.size(); }
    // Each station with the time it was last seen, by name (the status view).
    void ForEachStation(const std::function<void(const std::string&, std::int64_t)>& visit) const;

private:
    CDebugLog& m_log;
    CalendarClock m_clock;
    std::map<std::string, std::int64_t> m_stations;
};
