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

// The reason in a drop line of a message without a keyword and a sender.
constexpr const char* kTooFewFields = "too few fields";
// A far station sets its clock from a TIME message: one this late would set it wrong.
constexpr std::int64_t kTimeMaxWaitNs = 2 * kNanosecondsPerSecond;
constexpr const char* kStaleTime = "TIME waited over 2 s";
} // namespace

CLanToWanRelay::CLanToWanRelay(RelayParts parts, QObject* parent)
    : QObject(parent), m_parts(std::move(parts)),
      m_pacer([this](const std::string& line) { return WriteToTunnel(line); }, m_parts.clock, this),
      m_lanBacklogDrops(m_parts.log, "LAN backlog full", "LAN messages"),
      m_queueDrops(m_parts.log, "Tunnel queue full", "messages to WAN"),
      m_writeDrops(m_parts.log, "Tunnel not read by the server", "messages to WAN") {
    m_pacer.SetStaleSink([this](const std::string& line) { DropStaleLine(line); });
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
    m_parts.counters.toWan[DropReason::LostAtDisconnect] += m_pacer.Waiting();
    m_pacer.Clear();
}

void CLanToWanRelay::SendHeartbeat() {
    std::string text = "HEARTBEAT: \"" + m_tunnelName + "\" \"\" ";
    EncodeTunnelLine(text);
    // Not paced: a heartbeat must leave on time whatever waits behind the pacing.
    if (!m_parts.session.Write(text))
        m_writeDrops.Add(1, m_parts.clock());
    m_parts.session.NoteWanActivity();
}

void CLanToWanRelay::PaceToTunnel(std::string line, std::int64_t maxWaitNs) {
    if (!m_parts.session.IsOpen())
        return;
    const std::int64_t now = m_parts.clock();
    if (!m_pacer.Enqueue(std::move(line), maxWaitNs)) {
        m_queueDrops.Add(1, now);
        return;
    }
    m_queueDrops.Check(now);
}

void CLanToWanRelay::DropStaleLine(const std::string& line) {
    Count(DropReason::StaleTime);
    // Without its checksum byte; bytes from 0x7F up still show in their escaped form.
    const std::string shown = line.substr(0, line.size() - 1);
    m_parts.log.LogLine(3, "From LAN (DROPPED - %s) : %s", kStaleTime, shown.c_str());
}

bool CLanToWanRelay::WriteToTunnel(const std::string& line) {
    CTunnelSession& session = m_parts.session;
    if (!session.IsOpen())
        return true; // nowhere to go: the line is gone with the connection
    // While the server does not read, lines wait in the paced queue rather than being
    // dropped at the socket's bound.
    if (!session.CanTakeMore())
        return false;
    const std::int64_t now = m_parts.clock();
    if (!session.Write(line)) {
        m_writeDrops.Add(1, now);
        return true;
    }
    m_writeDrops.Check(now);
    ++m_parts.counters.toWan.relayed;
    m_parts.counters.toWanRate.Add(now / kNanosecondsPerSecond);
    return true;
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
    case LanFate::Relay:
        log.LogLine(3, "From LAN (TO WAN) : %s", verdict.outgoing.c_str());
        EncodeTunnelLine(verdict.outgoing);
        PaceToTunnel(std::move(verdict.outgoing),
                     verdict.timeMessage ? kTimeMaxWaitNs : CTunnelPacer::kNoWaitLimit);
        break;
    case LanFate::AnsweredHere:
        break;
    case LanFate::Malformed:
        Count(DropReason::Malformed);
        log.LogLine(3, "From LAN (DROPPED - %s) : %s", kTooFewFields, text.c_str());
        break;
    default:
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
