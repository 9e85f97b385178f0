#pragma once

#include "CDropTally.h"
#include "CTunnelPacer.h"
#include "RelayParts.h"
#include "Verdict.h"

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <string>

// From the LAN to the tunnel: judges each LAN message by the relay rules, answers inventory
// requests, names the tunnel, and paces what may cross into the tunnel. The heartbeat goes
// out here too, since it carries the tunnel's name and shares the write bound.
class CLanToWanRelay : public QObject {
    Q_OBJECT

public:
    explicit CLanToWanRelay(RelayParts parts, QObject* parent = nullptr);
    ~CLanToWanRelay() override;

    void OnLanMessage(const QByteArray& text);
    void SendHeartbeat();
    // The socket handed everything to the kernel: the line that waited in it has left.
    void OnDrained();
    // The tunnel client is closing: what waits for it is lost with it.
    void DropWaiting();
    // Each second: reports the drops that stopped.
    void CheckDrops();
    // Reports what is still being dropped (the end of the run).
    void Finish();

    const std::string& TunnelName() const { return m_tunnelName; }
    CTunnelPacer& Pacer() { return m_pacer; }
    const CTunnelPacer& Pacer() const { return m_pacer; }
    std::uint64_t QueueDrops() const { return m_queueDrops.Total(); }
    std::uint64_t WriteDrops() const { return m_writeDrops.Total(); }

signals:
    // "~" and the station's name, once it changes.
    void tunnelNamed(const std::string& name);

private:
    void CarryOut(const std::string& text, LanVerdict verdict);
    void SendInventoryReply(InventoryReply reply);
    void NameTunnel(const char* station);
    // Lines caused by LAN messages: paced, in order; maxWaitNs and note as
    // CTunnelPacer::Enqueue. A relayed message's note is its text, logged as it leaves.
    void PaceToTunnel(std::string line, std::int64_t maxWaitNs = CTunnelPacer::kNoWaitLimit,
                      std::string note = {});
    void DropStaleLine(const std::string& line, const std::string& note);
    bool WriteToTunnel(const std::string& line, const std::string& note);
    void CountRelayed();
    void NoteLanDrops();
    void Count(DropReason reason) { ++m_parts.counters.toWan[reason]; }

    RelayParts m_parts;
    std::string m_tunnelName = "~";
    CTunnelPacer m_pacer;
    CDropTally m_lanBacklogDrops;
    CDropTally m_queueDrops;
    CDropTally m_writeDrops;
    std::uint64_t m_lanDropsSeen = 0;
    // A line written but still partly in the socket: relayed once the kernel has it all.
    bool m_lineInSocket = false;
};
