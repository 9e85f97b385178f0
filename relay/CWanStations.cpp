#include "CWanStations.h"

#include "CDebugLog.h"

CWanStations::CWanStations(CDebugLog& log, MonotonicClock clock)
    : m_log(log), m_clock(std::move(clock)) {}

void CWanStations::AddWanStation(const std::string& name) {
    // Tunnel names ("~...") are never stations.
    if (name.empty() || name.front() == '~')
        return;
    const std::int64_t now = m_clock() / kNanosecondsPerSecond;
    if (const auto it = m_stations.find(name); it != m_stations.end()) {
        it->second.seen = now;
        m_order.splice(m_order.end(), m_order, it->second.order);
        return;
    }
    if (m_stations.size() >= kMaxStations)
        DropOldest();
    const auto it = m_stations.emplace(name, Entry{now, {}}).first;
    it->second.order = m_order.insert(m_order.end(), &it->first);
    m_log.LogLine(2, "%s added to the WAN stations", it->first.c_str());
}

bool CWanStations::IsWanStation(const std::string& name) const {
    return m_stations.find(name) != m_stations.end();
}

void CWanStations::DropOldest() {
    // One line per run of drops: a flood of names must not flood the log too.
    if (!m_dropping)
        m_log.LogLine(1, "WAN station table full (%zu): dropping the oldest stations early",
                      kMaxStations);
    m_dropping = true;
    m_stations.erase(*m_order.front());
    m_order.pop_front();
}

void CWanStations::ExpireWanStations(std::int64_t threshold) {
    for (auto it = m_stations.begin(); it != m_stations.end();) {
        if (it->second.seen >= threshold) {
            ++it;
            continue;
        }
        m_log.LogLine(2, "%s removed from WAN stations (timeout)", it->first.c_str());
        m_order.erase(it->second.order);
        it = m_stations.erase(it);
    }
    EndDropRunIfRoom();
}

void CWanStations::ClearWanStations() {
    m_stations.clear();
    m_order.clear();
    EndDropRunIfRoom();
}

void CWanStations::EndDropRunIfRoom() {
    if (m_stations.size() < kMaxStations)
        m_dropping = false;
}

void CWanStations::ForEachStation(
    const std::function<void(const std::string&, std::int64_t)>& visit) const {
    for (const auto& [name, entry] : m_stations)
        visit(name, entry.seen);
}
