#include "CTunnelHub.h"

#include "CDebugLog.h"
#include "Settings.h"

namespace {
constexpr std::int64_t kWanStationLifetimeSeconds = 300;
} // namespace

CTunnelHub::CTunnelHub(const Settings& settings, CDebugLog& log, const CalendarClock& clock,
                       QObject* parent)
    : QObject(parent), m_settings(settings), m_log(log), m_clock(clock),
      m_wanStations(log, [this] { return m_monotonic(); }),
      m_lanEchoes([this] { return m_monotonic(); }),
      m_session(settings, log, [this] { return m_monotonic(); }), m_wanToLan(Parts()),
      m_lanToWan(Parts()), m_lanSendFailures(log, "LAN broadcast failed", "messages to LAN") {
    connect(&m_lan, &COrvaneLan::messageReceived, &m_lanToWan, &CLanToWanRelay::OnLanMessage);
    connect(&m_session, &CTunnelSession::connecting, this, [this] {
        m_wanStations.ClearWanStations();
        m_wanToLan.ForgetFirstHeard();
    });
    connect(&m_session, &CTunnelSession::closingClient, &m_lanToWan, &CLanToWanRelay::DropWaiting);
    connect(&m_session, &CTunnelSession::loggedIn, this, [this] { m_wanToLan.Restart(); });
    connect(&m_session, &CTunnelSession::wanText, this,
            [this](const QByteArray& text) { m_wanToLan.OnWanText(text); });
    connect(&m_session, &CTunnelSession::watchdogTick, this, &CTunnelHub::OnWatchdog);
    connect(&m_session, &CTunnelSession::heartbeatDue, &m_lanToWan, &CLanToWanRelay::SendHeartbeat);
    connect(&m_session, &CTunnelSession::drained, &m_lanToWan, &CLanToWanRelay::OnDrained);
    connect(&m_session, &CTunnelSession::tunnelConnected, this, &CTunnelHub::tunnelConnected);
    connect(&m_session, &CTunnelSession::tunnelEnded, this, &CTunnelHub::tunnelEnded);
    connect(&m_lanToWan, &CLanToWanRelay::tunnelNamed, this, &CTunnelHub::tunnelNamed);
}

CTunnelHub::~CTunnelHub() {
    m_lanToWan.Finish();
    m_lanSendFailures.Finish();
    m_session.Shutdown();
    // The parts go one by one from here on; none may reach another any more.
    m_session.disconnect();
    m_lan.disconnect();
    m_wanStations.ClearWanStations();
}

RelayParts CTunnelHub::Parts() {
    return RelayParts{
        .settings = m_settings,
        .log = m_log,
        .session = m_session,
        .lan = m_lan,
        .wanStations = m_wanStations,
        .lanEchoes = m_lanEchoes,
        .counters = m_counters,
        .clock = [this] { return m_monotonic(); },
        .sendToLan = [this](const std::string& text) { return SendToLan(text); },
    };
}

void CTunnelHub::SetManualTimers(bool manual) {
    m_session.SetManualTimers(manual);
    m_lanToWan.Pacer().SetManualTimer(manual);
}

void CTunnelHub::OnWatchdog() {
    m_lanToWan.CheckDrops();
    m_lanSendFailures.Check(m_monotonic());
    const std::int64_t now = m_monotonic() / kNanosecondsPerSecond;
    m_wanStations.ExpireWanStations(now - kWanStationLifetimeSeconds);
    m_wanToLan.PruneFirstHeard();
}

void CTunnelHub::OpenLan() {
    m_lan.Close();
    m_lan.Init(m_settings.BroadcastAddress.c_str(), m_settings.LanPortNumber);
    m_log.LogLine(1, "Opening LAN...");
    if (!m_lan.SendAddressValid())
        m_log.LogLine(1,
                      "LAN broadcast address \"%s\" is not an IPv4 address: nothing from the "
                      "tunnel can reach the LAN. Correct \"Broadcast IP address\" in Options",
                      m_settings.BroadcastAddress.c_str());
}

bool CTunnelHub::SendToLan(const std::string& text) {
    const bool sent = m_lanSender ? m_lanSender(text) : m_lan.Send(text.c_str());
    if (!sent) {
        ++m_counters.toLan[DropReason::LanSendFailed];
        m_lanSendFailures.Add(1, m_monotonic());
    }
    return sent;
}

CTunnelHub::DropCounts CTunnelHub::Drops() const {
    DropCounts counts;
    counts.lanBacklog = m_lan.DroppedCount();
    counts.lanTooLong = m_lan.TooLongCount();
    counts.lanBadDatagram = m_lan.BadDatagramCount();
    counts.tunnelQueue = m_lanToWan.QueueDrops();
    counts.writeBound = m_lanToWan.WriteDrops();
    return counts;
}

HubStatus CTunnelHub::Status() const {
    HubStatus status;
    status.now = m_clock();
    m_session.Describe(status);
    const std::int64_t second = m_monotonic() / kNanosecondsPerSecond;
    const auto dated = [&](std::int64_t moment) { return status.now - (second - moment); };
    status.tunnelName = TunnelName();
    status.broadcastAddress = m_settings.BroadcastAddress;
    status.lanPort = m_settings.LanPortNumber;
    status.lanOpen = m_lan.IsOpen();
    status.broadcastValid = m_lan.SendAddressValid();

    const DropCounts drops = Drops();
    status.toWan = m_counters.toWan;
    status.toWan[DropReason::LanBacklog] = drops.lanBacklog;
    status.toWan[DropReason::TooLong] += drops.lanTooLong;
    status.toWan[DropReason::BadChecksum] = drops.lanBadDatagram;
    status.toWan[DropReason::QueueFull] = drops.tunnelQueue;
    status.toWan[DropReason::WriteBound] = drops.writeBound;
    status.toLan = m_counters.toLan;
    status.toLan[DropReason::TooLong] = m_wanToLan.Discarded();
    status.helloRewritten = m_counters.helloRewritten;
    status.inventoryAnswered = m_counters.inventoryAnswered;
    status.heartbeatsReceived = m_counters.heartbeatsReceived;
    status.toWanLastMinute = m_counters.toWanRate.LastMinute(second);
    status.toLanLastMinute = m_counters.toLanRate.LastMinute(second);

    status.stationLifetime = kWanStationLifetimeSeconds;
    m_wanStations.ForEachStation([&](const std::string& name, std::int64_t lastSeen) {
        status.farStations.push_back(
            {name, dated(m_wanToLan.FirstHeard(name, lastSeen)), dated(lastSeen)});
    });
    return status;
}
