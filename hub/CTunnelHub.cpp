#include "CTunnelHub.h"

#include "CDebugLog.h"
#include "CTcpClient.h"
#include "IKavlinkView.h"
#include "KavlinkEvents.h"
#include "LanRules.h"
#include "Settings.h"
#include "TunnelLine.h"
#include "Verdict.h"

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

constexpr int kReconnectMs = 5000;
constexpr int kWatchdogMs = 1000;
constexpr int kHeartbeatMs = 15000;
constexpr std::int64_t kWanTimeoutSeconds = 60;
constexpr std::int64_t kWanStationLifetimeSeconds = 300;
constexpr std::string_view kLoginPrompt = "login:";
constexpr std::string_view kPasswordPrompt = "password:";
// The reason in a drop line of a message without a keyword and a sender.
constexpr const char* kTooFewFields = "too few fields";
// A far station sets its clock from a TIME message: one this late would set it wrong.
constexpr std::int64_t kTimeMaxWaitNs = 2 * kNanosecondsPerSecond;
constexpr const char* kStaleTime = "TIME waited over 2 s";
} // namespace

CTunnelHub::CTunnelHub(const Settings& settings, CDebugLog& log, IKavlinkView* view,
                       const CalendarClock& clock, QObject* parent)
    : QObject(parent), m_settings(settings), m_log(log), m_view(view), m_clock(clock),
      m_wanStations(log, [this] { return m_monotonic(); }),
      m_lanEchoes([this] { return m_monotonic(); }),
      m_pacer([this](const std::string& line) { return WriteToTunnel(line); },
              [this] { return m_monotonic(); }, this),
      m_lanBacklogDrops(log, "LAN backlog full", "LAN messages"),
      m_queueDrops(log, "Tunnel queue full", "messages to WAN"),
      m_writeDrops(log, "Tunnel not read by the server", "messages to WAN") {
    m_pacer.SetStaleSink([this](const std::string& line) { DropStaleLine(line); });
    for (int id = TIMER_RECONNECT; id <= TIMER_HEARTBEAT; ++id) {
        // Coarse timers may fire up to 5 % early; the periods are part of the protocol.
        m_timers[id].setTimerType(Qt::PreciseTimer);
        connect(&m_timers[id], &QTimer::timeout, this, [this, id] { OnTimer(id); });
    }
}

CTunnelHub::~CTunnelHub() {
    NoteLanDrops();
    m_lanBacklogDrops.Finish();
    m_queueDrops.Finish();
    m_writeDrops.Finish();
    CloseTunnelClient();
    m_wanStations.ClearWanStations();
}

bool CTunnelHub::event(QEvent* e) {
    switch (static_cast<int>(e->type())) {
    case WM_TUNNEL_DATA:
        OnTunnelData(static_cast<CTunnelDataEvent*>(e)->Text());
        return true;
    case WM_TUNNEL_CONNECTED:
        OnTunnelConnected();
        return true;
    case WM_TUNNEL_CLOSED:
        OnTunnelClosed();
        return true;
    case WM_LAN_MESSAGE:
        OnLanMessage(static_cast<COrvaneMessageEvent*>(e)->Text());
        return true;
    default:
        return QObject::event(e);
    }
}

// ---- Timers

void CTunnelHub::SetManualTimers(bool manual) {
    m_manualTimers = manual;
    m_pacer.SetManualTimer(manual);
}

void CTunnelHub::SetTimer(int id, int milliseconds) {
    m_manualRunning[id] = true;
    m_periods[id] = milliseconds;
    if (!m_manualTimers)
        m_timers[id].start(milliseconds);
}

void CTunnelHub::KillTimer(int id) {
    m_manualRunning[id] = false;
    m_timers[id].stop();
}

bool CTunnelHub::IsTimerRunning(int id) const {
    return id > 0 && id < static_cast<int>(m_timers.size()) && m_manualRunning[id];
}

int CTunnelHub::TimerPeriodMs(int id) const {
    return id > 0 && id < static_cast<int>(m_periods.size()) ? m_periods[id] : 0;
}

void CTunnelHub::OnTimer(int id) {
    switch (id) {
    case TIMER_RECONNECT:
        KillTimer(TIMER_RECONNECT);
        ConnectTunnel();
        break;
    case TIMER_WATCHDOG: {
        NoteLanDrops();
        const std::int64_t quiet = m_monotonic();
        m_queueDrops.Check(quiet);
        m_writeDrops.Check(quiet);
        const std::int64_t now = quiet / kNanosecondsPerSecond;
        m_wanStations.ExpireWanStations(now - kWanStationLifetimeSeconds);
        PruneFirstHeard();
        if (m_lastWanActivity < now - kWanTimeoutSeconds) {
            m_log.LogLine(1, "Disconnecting tunnel (WAN timeout)");
            NoteDisconnection(DisconnectCause::WanTimeout, {});
            EndTunnel();
            LogDisconnectCause();
        }
        break;
    }
    case TIMER_HEARTBEAT:
        if (m_tunnelClient != nullptr && m_tunnelState == LoggedIn)
            SendHeartbeat();
        break;
    default:
        break;
    }
}

// ---- Lifecycle

void CTunnelHub::CloseTunnelClient() {
    // What waits for the tunnel belongs to this connection only.
    m_toWan[DropReason::LostAtDisconnect] += m_pacer.Waiting();
    m_pacer.Clear();
    if (m_tunnelClient == nullptr)
        return;
    m_tunnelClient->Close();
    // The client may be on the call stack (a notification it sent); delete it later.
    m_tunnelClient->deleteLater();
    m_tunnelClient = nullptr;
}

void CTunnelHub::SetState(int state) {
    if (state != m_tunnelState)
        m_stateSince = MonotonicSecond();
    if (state == LoggedIn) {
        m_downSince.reset();
        m_attemptsSinceDown = 0;
    } else if (m_tunnelState == LoggedIn || !m_downSince) {
        m_downSince = MonotonicSecond();
        m_attemptsSinceDown = 0;
    }
    m_tunnelState = state;
}

void CTunnelHub::NoteDisconnection(DisconnectCause cause, const std::string& detail) {
    m_lastDisconnect = MonotonicSecond();
    m_lastCause = cause;
    m_causeDetail = detail;
}

// The same words as the status window, so that the log alone tells why.
void CTunnelHub::LogDisconnectCause() {
    m_log.LogLine(1, "Disconnect cause : %s",
                  DisconnectCauseText(m_lastCause, m_causeDetail).c_str());
}

void CTunnelHub::ConnectTunnel(bool fromOptions) {
    if (fromOptions && m_tunnelClient != nullptr) {
        NoteDisconnection(DisconnectCause::LocalRequest, {});
        LogDisconnectCause();
    }
    m_log.LogLine(1, "Connecting tunnel...");
    SetState(Connecting);
    ++m_attemptsSinceDown;
    m_nextReconnect.reset();
    CloseTunnelClient();
    if (fromOptions) {
        // The new connection is judged by its own activity only.
        KillTimer(TIMER_RECONNECT);
        KillTimer(TIMER_WATCHDOG);
    }
    m_tunnelClient = new CTcpClient(this);
    // Owned by the hub too, so a client still waiting for deleteLater goes with it at exit.
    m_tunnelClient->setParent(this);
    m_tunnelClient->Connect(m_settings.Hostname, m_settings.TunnelPortNumber);
    m_wanStations.ClearWanStations();
    m_firstHeard.clear();
}

long CTunnelHub::OnTunnelConnected() {
    m_lastWanActivity = MonotonicSecond();
    SetTimer(TIMER_WATCHDOG, kWatchdogMs);
    SetState(AwaitLogin);
    m_prompt.Expect(kLoginPrompt);
    if (m_view != nullptr)
        m_view->StartConnectionAnimation();
    return 0;
}

long CTunnelHub::OnTunnelClosed() {
    // A second call for the same connection has no cause of its own.
    const bool hadClient = m_tunnelClient != nullptr;
    if (hadClient)
        NoteDisconnection(m_tunnelClient->Cause(), m_tunnelClient->CauseDetail());
    EndTunnel();
    if (hadClient)
        LogDisconnectCause();
    return 0;
}

void CTunnelHub::EndTunnel() {
    CloseTunnelClient();
    if (m_view != nullptr)
        m_view->EndConnectionAnimation();
    SetState(Disconnected);
    SetTimer(TIMER_RECONNECT, kReconnectMs);
    m_nextReconnect = MonotonicSecond() + kReconnectMs / 1000;
    KillTimer(TIMER_WATCHDOG);
    KillTimer(TIMER_HEARTBEAT);
    m_log.LogLine(1, "Tunnel disconnected");
}

void CTunnelHub::OpenLan() {
    m_lan.Close();
    m_lan.Init(this, WM_LAN_MESSAGE, m_settings.BroadcastAddress.c_str(), m_settings.LanPortNumber);
    m_log.LogLine(1, "Opening LAN...");
}

void CTunnelHub::SendHeartbeat() {
    std::string text = "HEARTBEAT: \"" + m_tunnelName + "\" \"\" ";
    EncodeTunnelLine(text);
    // Not paced: a heartbeat must leave on time whatever waits behind the pacing.
    if (!WriteLine(text))
        m_writeDrops.Add(1, m_monotonic());
    m_lastWanActivity = MonotonicSecond();
}

void CTunnelHub::PaceToTunnel(std::string line, std::int64_t maxWaitNs) {
    if (m_tunnelClient == nullptr)
        return;
    const std::int64_t now = m_monotonic();
    if (!m_pacer.Enqueue(std::move(line), maxWaitNs)) {
        m_queueDrops.Add(1, now);
        return;
    }
    m_queueDrops.Check(now);
}

void CTunnelHub::DropStaleLine(const std::string& line) {
    CountToWan(DropReason::StaleTime);
    // Without its checksum byte; bytes from 0x7F up still show in their escaped form.
    const std::string shown = line.substr(0, line.size() - 1);
    m_log.LogLine(3, "From LAN (DROPPED - %s) : %s", kStaleTime, shown.c_str());
}

bool CTunnelHub::WriteToTunnel(const std::string& line) {
    if (m_tunnelClient == nullptr)
        return true; // nowhere to go: the line is gone with the connection
    // While the server does not read, lines wait in the paced queue rather than being
    // dropped at the socket's bound.
    if (!m_tunnelClient->CanTakeMore())
        return false;
    const std::int64_t now = m_monotonic();
    if (!WriteLine(line)) {
        m_writeDrops.Add(1, now);
        return true;
    }
    m_writeDrops.Check(now);
    ++m_toWan.relayed;
    m_toWanRate.Add(now / 1'000'000'000);
    return true;
}

void CTunnelHub::NoteLanDrops() {
    const std::uint64_t dropped = m_lan.DroppedCount();
    const std::int64_t now = m_monotonic();
    m_lanBacklogDrops.Add(dropped - m_lanDropsSeen, now);
    m_lanDropsSeen = dropped;
    m_lanBacklogDrops.Check(now);
}

CTunnelHub::DropCounts CTunnelHub::Drops() const {
    DropCounts counts;
    counts.lanBacklog = m_lan.DroppedCount();
    counts.lanTooLong = m_lan.TooLongCount();
    counts.lanBadDatagram = m_lan.BadDatagramCount();
    counts.tunnelQueue = m_queueDrops.Total();
    counts.writeBound = m_writeDrops.Total();
    return counts;
}

void CTunnelHub::SendToTunnel(const std::string& text) {
    if (m_tunnelClient != nullptr)
        WriteLine(text);
}

bool CTunnelHub::WriteLine(const std::string& text) {
    if (!m_tunnelClient->SendText(text.c_str()))
        return false;
    if (m_tunnelSendObserver)
        m_tunnelSendObserver(std::string(text.c_str()));
    return true;
}

void CTunnelHub::SendToLan(const std::string& text) {
    m_lan.Send(text.c_str());
    if (m_lanSendObserver)
        m_lanSendObserver(text);
}

// ---- WAN to LAN

long CTunnelHub::OnTunnelData(const QByteArray& received) {
    // The chunk counts only up to its first NUL.
    const std::string_view chunk(received.constData(), std::strlen(received.constData()));
    switch (m_tunnelState) {
    case AwaitLogin:
        if (m_prompt.Read(chunk)) {
            SendToTunnel(m_settings.Login + "\n");
            SetState(AwaitPassword);
            m_prompt.Expect(kPasswordPrompt);
        }
        break;
    case AwaitPassword:
        if (m_prompt.Read(chunk)) {
            SendToTunnel(m_settings.Password + "\n");
            SetState(LoggedIn);
            // The server answers nothing; a refused log-in shows as a close right after.
            m_log.LogLine(1, "Tunnel logged in as %s", m_settings.Login.c_str());
            m_receiveBuffer.Clear();
            if (m_settings.HeartBeat != 0)
                SetTimer(TIMER_HEARTBEAT, kHeartbeatMs);
            else
                KillTimer(TIMER_HEARTBEAT);
        }
        break;
    case LoggedIn:
        m_receiveBuffer.Append(chunk, [this](std::string_view line) { HandleTunnelLine(line); });
        break;
    default:
        break;
    }
    return 0;
}

void CTunnelHub::HandleTunnelLine(std::string_view line) {
    char work[kMaxTunnelMessage] = {};
    std::memcpy(work, line.data(), line.size());
    const bool checksumRight = CheckTunnelLine(work);
    char* fields[ORVANE_MAX_FIELDS] = {};
    const int count = checksumRight ? ORVANE_parse(fields, work) : 0;
    const TunnelFate fate = JudgeTunnelLine(checksumRight, {fields, count}, m_settings);
    if (fate == TunnelFate::BadChecksum) {
        ++m_toLan[DropReason::BadChecksum];
        return;
    }
    const std::string text(line.substr(0, line.size() - 1));
    if (fate == TunnelFate::Malformed) {
        ++m_toLan[DropReason::Malformed];
        m_log.LogLine(3, "From WAN (DROPPED - %s) : %s", kTooFewFields, text.c_str());
        return;
    }
    if (fate == TunnelFate::Heartbeat) {
        ++m_heartbeatsReceived;
        m_log.LogLine(3, "From WAN (DROPPED - %s) : %s", TunnelFateText(fate), text.c_str());
    } else if (fate == TunnelFate::Time) {
        ++m_toLan[DropReason::Time];
        m_log.LogLine(3, "From WAN (DROPPED - %s) : %s", TunnelFateText(fate), text.c_str());
    } else {
        NoteFarStation(fields[1]);
        // A longer echo is never relayed back anyway (the LAN limit).
        if (text.size() < kMaxLanMessage)
            m_lanEchoes.Remember(text, m_lan.PendingBytes() == 0);
        SendToLan(text);
        ++m_toLan.relayed;
        m_toLanRate.Add(MonotonicSecond());
        m_log.LogLine(3, "From WAN (TO LAN) : %s", text.c_str());
    }
    m_lastWanActivity = MonotonicSecond();
}

// ---- LAN to WAN

long CTunnelHub::OnLanMessage(const QByteArray& received) {
    // No pause here: what enters the tunnel is paced instead, so a dropped message, an echo
    // or junk costs nothing and the loop never sleeps.
    NoteLanDrops();
    const std::size_t length = std::strlen(received.constData());
    const std::string text(received.constData(), length);
    const LanSituation situation{
        .settings = m_settings,
        .tunnelOpen = m_tunnelClient != nullptr,
        .loggedIn = m_tunnelState == LoggedIn,
        .tooLong = length >= kMaxLanMessage,
        .tunnelName = m_tunnelName,
        .isWanStation =
            [this](const std::string& name) { return m_wanStations.IsWanStation(name); },
        .isEcho =
            [this, &text, &received] {
                // Behind a backlog of LAN messages the echo is late, so nothing may expire
                // meanwhile.
                const bool backlog =
                    m_lan.PendingBytes() > COrvaneLan::AccountedSize(received.size());
                return m_lanEchoes.Consume(text, !backlog);
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
    return 0;
}

void CTunnelHub::CarryOut(const std::string& text, LanVerdict verdict) {
    if (verdict.fate == LanFate::Rule) {
        CountToWan(LanDropCounter(verdict.rule));
        m_log.LogLine(3, "From LAN (DROPPED - %s) : %s", LanDropText(verdict.rule), text.c_str());
        return;
    }
    if (!verdict.nameTunnelAfter.empty())
        NameTunnel(verdict.nameTunnelAfter.c_str());
    if (verdict.inventoryRequest)
        m_log.LogLine(3, "From LAN - INV REQUEST : %s", text.c_str());
    if (verdict.reply)
        SendInventoryReply(std::move(*verdict.reply));
    if (verdict.fate == LanFate::Time)
        m_log.LogLine(3, "From LAN (DROPPED - TIME) : %s", verdict.outgoing.c_str());
    if (verdict.helloRewritten) {
        ++m_helloRewritten;
        m_log.LogLine(3, "From LAN (MODIFIED - HELLO / MASTER) : %s", verdict.outgoing.c_str());
    }
    switch (verdict.fate) {
    case LanFate::Relay:
        m_log.LogLine(3, "From LAN (TO WAN) : %s", verdict.outgoing.c_str());
        EncodeTunnelLine(verdict.outgoing);
        PaceToTunnel(std::move(verdict.outgoing),
                     verdict.timeMessage ? kTimeMaxWaitNs : CTunnelPacer::kNoWaitLimit);
        break;
    case LanFate::AnsweredHere:
        break;
    case LanFate::Malformed:
        CountToWan(DropReason::Malformed);
        m_log.LogLine(3, "From LAN (DROPPED - %s) : %s", kTooFewFields, text.c_str());
        break;
    default:
        CountToWan(LanFateCounter(verdict.fate));
        break;
    }
}

void CTunnelHub::NameTunnel(const char* station) {
    const std::string candidate = std::string("~") + station;
    if (candidate == m_tunnelName)
        return;
    m_tunnelName = candidate;
    m_log.LogLine(2, "Tunnel named : %s", m_tunnelName.c_str());
    if (m_view != nullptr)
        m_view->ShowTunnelName(m_tunnelName);
}

void CTunnelHub::SendInventoryReply(InventoryReply reply) {
    ++m_inventoryAnswered;
    if (!reply.toTunnel) {
        SendToLan(reply.text);
        m_log.LogLine(3, "To LAN - INV REPLY : %s", reply.text.c_str());
        return;
    }
    // The requester sits behind the tunnel.
    EncodeTunnelLine(reply.text);
    if (m_tunnelClient != nullptr) {
        const std::string shown = reply.text.substr(0, reply.text.size() - 1);
        PaceToTunnel(std::move(reply.text));
        m_log.LogLine(3, "To WAN - INV REPLY : %s", shown.c_str());
    }
}

// ---- Status

void CTunnelHub::NoteFarStation(const char* name) {
    const bool known = m_wanStations.IsWanStation(name);
    m_wanStations.AddWanStation(name);
    if (known || !m_wanStations.IsWanStation(name))
        return;
    m_firstHeard.insert_or_assign(name, MonotonicSecond());
    // Stations may leave the table between watchdog ticks; never let this grow past it.
    if (m_firstHeard.size() > 2 * m_wanStations.Count() + 64)
        PruneFirstHeard();
}

void CTunnelHub::PruneFirstHeard() {
    std::erase_if(m_firstHeard,
                  [this](const auto& entry) { return !m_wanStations.IsWanStation(entry.first); });
}

HubStatus CTunnelHub::Status() const {
    HubStatus status;
    status.now = m_clock();
    // Ages come from the monotonic clock; the calendar only dates them for the reader, so a
    // step of the time moves the dates shown but never an age or a time left.
    const std::int64_t second = MonotonicSecond();
    const auto dated = [&](std::optional<std::int64_t> moment) {
        return moment ? status.now - (second - *moment) : 0;
    };
    // The same states in the same order.
    status.tunnel = static_cast<HubStatus::Tunnel>(m_tunnelState);
    status.tunnelSince = dated(m_stateSince);
    status.downSince = dated(m_downSince);
    status.attemptsSinceDown = m_attemptsSinceDown;
    status.host = m_settings.Hostname;
    status.port = m_settings.TunnelPortNumber;
    status.login = m_settings.Login;
    status.tunnelName = m_tunnelName;
    status.lastDisconnect = dated(m_lastDisconnect);
    status.lastCause = m_lastCause;
    status.causeDetail = m_causeDetail;
    status.nextReconnect = IsTimerRunning(TIMER_RECONNECT) ? dated(m_nextReconnect) : 0;
    status.broadcastAddress = m_settings.BroadcastAddress;
    status.lanPort = m_settings.LanPortNumber;
    status.lanOpen = m_lan.IsOpen();

    const DropCounts drops = Drops();
    status.toWan = m_toWan;
    status.toWan[DropReason::LanBacklog] = drops.lanBacklog;
    status.toWan[DropReason::TooLong] += drops.lanTooLong;
    status.toWan[DropReason::BadChecksum] = drops.lanBadDatagram;
    status.toWan[DropReason::QueueFull] = drops.tunnelQueue;
    status.toWan[DropReason::WriteBound] = drops.writeBound;
    status.toLan = m_toLan;
    status.toLan[DropReason::TooLong] = m_receiveBuffer.Discarded();
    status.helloRewritten = m_helloRewritten;
    status.inventoryAnswered = m_inventoryAnswered;
    status.heartbeatsReceived = m_heartbeatsReceived;
    status.toWanLastMinute = m_toWanRate.LastMinute(second);
    status.toLanLastMinute = m_toLanRate.LastMinute(second);

    status.stationLifetime = kWanStationLifetimeSeconds;
    m_wanStations.ForEachStation([&](const std::string& name, std::int64_t lastSeen) {
        const auto first = m_firstHeard.find(name);
        status.farStations.push_back(
            {name, dated(first != m_firstHeard.end() ? first->second : lastSeen), dated(lastSeen)});
    });
    return status;
}
