#include "CWanStations.h"

#include "CDebugLog.h"

CWanStations::CWanStations(CDebugLog& log, CalendarClock clock)
    : m_log(log), m_clock(std::move(clock)) {}

void CWanStations::AddWanStation(const std::string& name) {
    // Tunnel names ("~...") are never stations.
    if (name.empty() || name.front() == '~')
        return;
    const auto [it, added] = m_stations.insert_or_assign(name, m_clock());
    if (added)
        m_log.LogLine(2, "%s added to the WAN stations", it->first.c_str());
}

bool CWanStations::IsWanStation(const std::string& name) const {
    return m_stations.find(name) != m_stations.end();
}

void CWanStations::ExpireWanStations(std::int64_t threshold) {
    for (auto it = m_stations.begin(); it != m_stations.end();) {
        if (it->second >= threshold) {
            ++it;
            continue;
        }
        m_log.LogLine(2, "%s removed from WAN stations (timeout)", it->first.c_str());
        it = m_stations.erase(it);
    }
}

void CWanStations::ClearWanStations() {
    m_stations.clear();
}

void CWanStations::ForEachStation(
    const std::function<void(const std::string&, std::int64_t)>& visit) const {
    for (const auto& [name, lastSeen] : m_stations)
        visit(name, lastSeen);
}
