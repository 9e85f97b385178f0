#include "CLanToWanRelay.h"

#include "CDebugLog.h"
#include "CEchoMemory.h"
#include "CTunnelSession.h"
#include "CWanStations.h"
#include "LanRules.h"
#include "Orvane.h"
#include "Settings.h"
#include "TunnelLine.h"

#include <cstring>

namespace {
DropReason LanDropCounter(LanDrop drop) {
    switch (drop) {
    case LanDrop::LocalAddQso:
        return DropReason::AddQso;
    case LanDrop::Packet:
        return DropReason::Packet;
    case LanDrop::Rotor:
        return DropReason::Rotator;
    case LanDrop::IHaveLan:
        return DropReason::IHaveLan;
    case LanDrop::IHave:
        return DropReason::IHave;
    case LanDrop::NeedQso:
        return DropReason::NeedQso;
    case LanDrop::NeedQsoWan:
    case LanDrop::None:
        break;
    }
    return DropReason::NeedQsoWan;
}

// The counter of a LAN message stopped by anything but a drop rule.
DropReason LanFateCounter(LanFate fate) {
    switch (fate) {
    case LanFate::TooLong:
        return DropReason::TooLong;
    case LanFate::Malformed:
        return DropReason::Malformed;
    case LanFate::Time:
        return DropReason::Time;
    case LanFate::FromFarStation:
        return DropReason::FromFarStation;
    case LanFate::Echo:
        return DropReason::Echo;
    default:
        break;
    }
    return DropReason::TunnelDown;
}

// A far station sets its clock from a TIME message: one this late would set it wrong.
constexpr std::int64_t kTimeMaxWaitNs = 2 * kNanosecondsPerSecond;
constexpr const char* kStaleTime = "TIME waited over 2 s";
} // namespace

CLanToWanRelay::CLanToWanRelay(RelayParts parts, QObject* parent)
    : QObject(parent), m_parts(std::move(parts)),
      m_pacer([this](const std::string& line,
                     const std::string& note) { return WriteToTunnel(line, note); },
              m_parts.clock, this),
      m_lanBacklogDrops(m_parts.log, "LAN backlog full", "LAN messages"),
      m_queueDrops(m_parts.log, "Tunnel queue full", "messages to WAN"),
      m_writeDrops(m_parts.log, "Tunnel not read by the server", "messages to WAN") {
    m_pacer.SetStaleSink(
        [this](const std::string& line, const std::string& note) { DropStaleLine(line, note); });
}

CLanToWanRelay::~CLanToWanRelay() = default;

void CLanToWanRelay::Finish() {
    NoteLanDrops();
    m_lanBacklogDrops.Finish();
    m_queueDrops.Finish();
    m_writeDrops.Finish();
}

void CLanToWanRelay::CheckDrops() {
    NoteLanDrops();
    const std::int64_t now = m_parts.clock();
    m_queueDrops.Check(now);
    m_writeDrops.Check(now);
}

void CLanToWanRelay::DropWaiting() {
    m_parts.counters.toWan[DropReason::LostAtDisconnect] +=
        m_pacer.Waiting() + (m_lineInSocket ? 1 : 0);
    m_lineInSocket = false;
    m_pacer.Clear();
}

void CLanToWanRelay::SendHeartbeat() {
    std::string text = "HEARTBEAT: \"" + m_tunnelName + "\" \"\" ";
    EncodeTunnelLine(text);
    // Not paced: a heartbeat must leave on time whatever waits behind the pacing. One the
    // socket refuses is no message lost, and no sign of a server that does not read either.
    m_parts.session.Write(text);
    m_parts.session.NoteWanActivity();
}

void CLanToWanRelay::OnDrained() {
    if (m_lineInSocket) {
        m_lineInSocket = false;
        CountRelayed();
    }
    // The next line need not wait for the pacer's retry.
    if (m_pacer.Waiting() > 0)
        m_pacer.Tick();
}

void CLanToWanRelay::PaceToTunnel(std::string line, std::int64_t maxWaitNs, std::string note) {
    if (!m_parts.session.IsOpen())
        return;
    const std::int64_t now = m_parts.clock();
    if (!m_pacer.Enqueue(std::move(line), maxWaitNs, std::move(note))) {
        m_queueDrops.Add(1, now);
        return;
    }
    m_queueDrops.Check(now);
}

void CLanToWanRelay::DropStaleLine(const std::string& line, const std::string& note) {
    Count(DropReason::StaleTime);
    // Without its checksum byte where no note says it; bytes from 0x7F up then still show in
    // their escaped form.
    const std::string shown = note.empty() ? line.substr(0, line.size() - 1) : note;
    m_parts.log.LogLine(3, "From LAN (DROPPED - %s) : %s", kStaleTime, shown.c_str());
}

// A line waits in the paced queue, where it is bounded and a stale TIME is dropped, until the
// kernel has taken all before it: the socket never holds more than the line in hand, with
// TLS as in clear, and a slow or silent server fills the queue, not the socket.
bool CLanToWanRelay::WriteToTunnel(const std::string& line, const std::string& note) {
    CTunnelSession& session = m_parts.session;
    if (!session.IsOpen())
        return true; // nowhere to go: the line is gone with the connection
    if (!session.IsDrained())
        return false;
    const std::int64_t now = m_parts.clock();
    if (!session.Write(line)) {
        m_writeDrops.Add(1, now);
        return true;
    }
    m_writeDrops.Check(now);
    if (!note.empty())
        m_parts.log.LogLine(3, "From LAN (TO WAN) : %s", note.c_str());
    if (session.IsDrained())
        CountRelayed();
    else
        m_lineInSocket = true;
    return true;
}

void CLanToWanRelay::CountRelayed() {
    ++m_parts.counters.toWan.relayed;
    m_parts.counters.toWanRate.Add(m_parts.Second());
}

void CLanToWanRelay::NoteLanDrops() {
    const std::uint64_t dropped = m_parts.lan.DroppedCount();
    const std::int64_t now = m_parts.clock();
    m_lanBacklogDrops.Add(dropped - m_lanDropsSeen, now);
    m_lanDropsSeen = dropped;
    m_lanBacklogDrops.Check(now);
}

void CLanToWanRelay::OnLanMessage(const QByteArray& received) {
    // No pause here: what enters the tunnel is paced instead, so a dropped message, an echo
    // or junk costs nothing and the loop never sleeps.
    NoteLanDrops();
    const std::size_t length = std::strlen(received.constData());
    const std::string text(received.constData(), length);
    const LanSituation situation{
        .settings = m_parts.settings,
        .tunnelOpen = m_parts.session.IsOpen(),
        .loggedIn = m_parts.session.State() == TunnelState::LoggedIn,
        .tooLong = length >= kMaxLanMessage,
        .tunnelName = m_tunnelName,
        .isWanStation =
            [this](const std::string& name) { return m_parts.wanStations.IsWanStation(name); },
        .isEcho =
            [this, &text, &received] {
                // Behind a backlog of LAN messages the echo is late, so nothing may expire
                // meanwhile.
                const bool backlog =
                    m_parts.lan.PendingBytes() > COrvaneLan::AccountedSize(received.size());
                return m_parts.lanEchoes.Consume(text, !backlog);
            },
    };
    char copy[kMaxLanMessage] = {};
    char* fields[ORVANE_MAX_FIELDS] = {};
    int count = 0;
    if (!situation.tooLong) {
        std::memcpy(copy, text.data(), length);
        count = ORVANE_parse(fields, copy);
    }
    CarryOut(text, JudgeLanMessage(text, {fields, count}, situation));
}

void CLanToWanRelay::CarryOut(const std::string& text, LanVerdict verdict) {
    CDebugLog& log = m_parts.log;
    if (verdict.fate == LanFate::Rule) {
        Count(LanDropCounter(verdict.rule));
        log.LogLine(3, "From LAN (DROPPED - %s) : %s", LanDropText(verdict.rule), text.c_str());
        return;
    }
    if (!verdict.nameTunnelAfter.empty())
        NameTunnel(verdict.nameTunnelAfter.c_str());
    if (verdict.inventoryRequest)
        log.LogLine(3, "From LAN - INV REQUEST : %s", text.c_str());
    if (verdict.reply)
        SendInventoryReply(std::move(*verdict.reply));
    if (verdict.fate == LanFate::Time)
        log.LogLine(3, "From LAN (DROPPED - TIME) : %s", verdict.outgoing.c_str());
    if (verdict.helloRewritten) {
        ++m_parts.counters.helloRewritten;
        log.LogLine(3, "From LAN (MODIFIED - HELLO / MASTER) : %s", verdict.outgoing.c_str());
    }
    switch (verdict.fate) {
    case LanFate::Relay: {
        // Logged when it leaves, or as dropped when it does not: a line the log shows as sent
        // has been.
        std::string note = log.Level() >= 3 ? verdict.outgoing : std::string();
        EncodeTunnelLine(verdict.outgoing);
        PaceToTunnel(std::move(verdict.outgoing),
                     verdict.timeMessage ? kTimeMaxWaitNs : CTunnelPacer::kNoWaitLimit,
                     std::move(note));
        break;
    }
    case LanFate::AnsweredHere:
        break;
    default:
        // Malformed messages among them, ignored without a log line.
        Count(LanFateCounter(verdict.fate));
        break;
    }
}

void CLanToWanRelay::NameTunnel(const char* station) {
    const std::string candidate = std::string("~") + station;
    if (candidate == m_tunnelName)
        return;
    m_tunnelName = candidate;
    m_parts.log.LogLine(2, "Tunnel named : %s", m_tunnelName.c_str());
    emit tunnelNamed(m_tunnelName);
}

void CLanToWanRelay::SendInventoryReply(InventoryReply reply) {
    ++m_parts.counters.inventoryAnswered;
    if (!reply.toTunnel) {
        m_parts.sendToLan(reply.text);
        m_parts.log.LogLine(3, "To LAN - INV REPLY : %s", reply.text.c_str());
        return;
    }
    // The requester sits behind the tunnel.
    EncodeTunnelLine(reply.text);
    if (m_parts.session.IsOpen()) {
        const std::string shown = reply.text.substr(0, reply.text.size() - 1);
        PaceToTunnel(std::move(reply.text));
        m_parts.log.LogLine(3, "To WAN - INV REPLY : %s", shown.c_str());
    }
}
