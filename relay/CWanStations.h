#pragma once

#include "Clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>

class CDebugLog;

// Stations whose messages arrived through the tunnel, with the time each was last seen in whole
// seconds of the monotonic clock.
// The server decides what names arrive, so the table is bounded: past the bound the station
// seen least recently makes room early.
class CWanStations {
public:
    static constexpr std::size_t kMaxStations = 65536;

    CWanStations(CDebugLog& log, MonotonicClock clock);

    void AddWanStation(const std::string& name);
    bool IsWanStation(const std::string& name) const;
    // Removes every entry seen earlier than threshold (monotonic seconds), one level-2 line each.
    void ExpireWanStations(std::int64_t threshold);
    void ClearWanStations();
    std::size_t Count() const { return m_stations.size(); }
    // Each station with the time it was last seen, by name (the status view).
    void ForEachStation(const std::function<void(const std::string&, std::int64_t)>& visit) const;

private:
    struct Entry {
        std::int64_t seen = 0;
        std::list<const std::string*>::iterator order;
    };

    void DropOldest();
    void EndDropRunIfRoom();

    CDebugLog& m_log;
    MonotonicClock m_clock;
    std::map<std::string, Entry> m_stations;
    // Names (the table's own keys) from least to most recently seen.
    std::list<const std::string*> m_order;
    // Whether early drops have been logged since the table last had room.
    bool m_dropping = false;
};
