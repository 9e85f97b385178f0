#include "CWanToLanRelay.h"

#include "CDebugLog.h"
#include "CEchoMemory.h"
#include "CTunnelSession.h"
#include "CWanStations.h"
#include "Orvane.h"
#include "TunnelLine.h"
#include "Verdict.h"

#include <cstring>

CWanToLanRelay::CWanToLanRelay(RelayParts parts) : m_parts(std::move(parts)) {}

void CWanToLanRelay::OnWanText(const QByteArray& text) {
    m_receiveBuffer.Append(std::string_view(text.constData(), text.size()),
                           [this](std::string_view line) { HandleTunnelLine(line); });
}

void CWanToLanRelay::HandleTunnelLine(std::string_view line) {
    char work[kMaxTunnelMessage] = {};
    std::memcpy(work, line.data(), line.size());
    const bool checksumRight = CheckTunnelLine(work);
    char* fields[ORVANE_MAX_FIELDS] = {};
    const int count = checksumRight ? ORVANE_parse(fields, work) : 0;
    const TunnelFate fate = JudgeTunnelLine(checksumRight, {fields, count}, m_parts.settings);
    RelayCounters& counters = m_parts.counters;
    CDebugLog& log = m_parts.log;
    if (fate == TunnelFate::BadChecksum) {
        ++counters.toLan[DropReason::BadChecksum];
        return;
    }
    const std::string text(line.substr(0, line.size() - 1));
    // Malformed lines are ignored without a log line, as junk is: only the counter tells.
    if (fate == TunnelFate::Malformed) {
        ++counters.toLan[DropReason::Malformed];
        return;
    }
    if (fate == TunnelFate::Heartbeat) {
        ++counters.heartbeatsReceived;
        log.LogLine(3, "From WAN (DROPPED - %s) : %s", TunnelFateText(fate), text.c_str());
    } else if (fate == TunnelFate::Time) {
        ++counters.toLan[DropReason::Time];
        log.LogLine(3, "From WAN (DROPPED - %s) : %s", TunnelFateText(fate), text.c_str());
    } else {
        NoteFarStation(fields[1]);
        // A longer echo is never relayed back anyway (the LAN limit).
        if (text.size() < kMaxLanMessage)
            m_parts.lanEchoes.Remember(text, m_parts.lan.PendingBytes() == 0);
        // A failed broadcast is counted and summed in the log where it fails.
        if (m_parts.sendToLan(text)) {
            ++counters.toLan.relayed;
            counters.toLanRate.Add(m_parts.Second());
            log.LogLine(3, "From WAN (TO LAN) : %s", text.c_str());
        }
    }
    m_parts.session.NoteWanActivity();
}

void CWanToLanRelay::NoteFarStation(const char* name) {
    CWanStations& stations = m_parts.wanStations;
    const bool known = stations.IsWanStation(name);
    stations.AddWanStation(name);
    if (known || !stations.IsWanStation(name))
        return;
    m_firstHeard.insert_or_assign(name, m_parts.Second());
    // Stations may leave the table between watchdog ticks; never let this grow past it.
    if (m_firstHeard.size() > 2 * stations.Count() + 64)
        PruneFirstHeard();
}

void CWanToLanRelay::PruneFirstHeard() {
    std::erase_if(m_firstHeard, [this](const auto& entry) {
        return !m_parts.wanStations.IsWanStation(entry.first);
    });
}

std::int64_t CWanToLanRelay::FirstHeard(const std::string& name, std::int64_t otherwise) const {
    const auto first = m_firstHeard.find(name);
    return first != m_firstHeard.end() ? first->second : otherwise;
}
