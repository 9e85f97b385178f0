#pragma once

#include "CTunnelFramer.h"
#include "RelayParts.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

// From the tunnel to the LAN: cuts what arrives after the log-in into tunnel lines, checks
// and judges each, broadcasts the good ones and remembers their senders as far stations.
class CWanToLanRelay {
public:
    explicit CWanToLanRelay(RelayParts parts);

    void OnWanText(const QByteArray& text);
    // A new log-in starts with an empty buffer.
    void Restart() { m_receiveBuffer.Clear(); }
    // A new connection: nobody has been heard on it yet.
    void ForgetFirstHeard() { m_firstHeard.clear(); }
    // Keeps first-heard times only for stations still in the table.
    void PruneFirstHeard();
    // When a station in the table was first heard, in seconds of the monotonic clock.
    std::int64_t FirstHeard(const std::string& name, std::int64_t otherwise) const;
    std::size_t Buffered() const { return m_receiveBuffer.Buffered(); }
    std::uint64_t Discarded() const { return m_receiveBuffer.Discarded(); }

private:
    void HandleTunnelLine(std::string_view line);
    void NoteFarStation(const char* name);

    RelayParts m_parts;
    CTunnelFramer m_receiveBuffer;
    // Kept no larger than the station table it follows.
    std::map<std::string, std::int64_t> m_firstHeard;
};
