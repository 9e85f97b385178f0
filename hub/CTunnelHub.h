#pragma once

#include "CDropTally.h"
#include "CEchoMemory.h"
#include "CMinuteRate.h"
#include "CPromptReader.h"
#include "CTunnelFramer.h"
#include "CTunnelPacer.h"
#include "CWanStations.h"
#include "Clock.h"
#include "Orvane.h"
#include "StatusText.h"
#include "Verdict.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

class CDebugLog;
class CTcpClient;
class IKavlinkView;
struct Settings;

// The relay and the tunnel lifecycle: owns the tunnel client, the LAN side, the relay state,
// the WAN station table and the three link timers. Receives the tunnel and LAN notifications
// as events; everything runs on the thread that owns it.
class CTunnelHub : public QObject {
    Q_OBJECT

public:
    enum TunnelState {
        Disconnected = 0,
        Connecting = 1,
        AwaitLogin = 2,
        AwaitPassword = 3,
        LoggedIn = 4
    };
    enum TimerId { TIMER_HIDE = 1, TIMER_RECONNECT = 2, TIMER_WATCHDOG = 3, TIMER_HEARTBEAT = 4 };

    // clock stamps the status only; every duration runs on the monotonic clock.
    CTunnelHub(const Settings& settings, CDebugLog& log, IKavlinkView* view,
               const CalendarClock& clock = SystemCalendarSeconds, QObject* parent = nullptr);
    ~CTunnelHub() override;

    // fromOptions: also stops a pending reconnection and the old watchdog.
    void ConnectTunnel(bool fromOptions = false);
    void OpenLan();

    long OnTunnelData(const QByteArray& chunk);
    long OnTunnelConnected();
    long OnTunnelClosed();
    long OnLanMessage(const QByteArray& text);
    void OnTimer(int id);

    // Messages dropped on the way, by place; plain numbers, read by the status view.
    struct DropCounts {
        std::uint64_t lanBacklog = 0; // the LAN library's bound
        std::uint64_t lanTooLong = 0; // texts of 256 bytes or more, dropped on arrival
        std::uint64_t lanBadDatagram = 0;
        std::uint64_t tunnelQueue = 0; // the paced queue's bound
        std::uint64_t writeBound = 0;  // the server stopped reading
    };
    DropCounts Drops() const;
    // Everything the status view shows, as of now.
    HubStatus Status() const;

    // Test seams and read-outs.
    // With manual timers nothing ticks by itself: tests call OnTimer and PaceTunnel.
    void SetManualTimers(bool manual);
    void SetMonotonicClock(MonotonicClock clock) { m_monotonic = std::move(clock); }
    // One tick of the tunnel pacing.
    void PaceTunnel() { m_pacer.Tick(); }
    const CTunnelPacer& Pacer() const { return m_pacer; }
    bool IsTimerRunning(int id) const;
    // The period the timer was last armed with, in manual mode too.
    int TimerPeriodMs(int id) const;
    int TunnelStateValue() const { return m_tunnelState; }
    const std::string& TunnelName() const { return m_tunnelName; }
    const CWanStations& WanStations() const { return m_wanStations; }
    CWanStations& WanStations() { return m_wanStations; }
    std::size_t ReceiveBuffered() const { return m_receiveBuffer.Buffered(); }
    // In whole seconds of the monotonic clock.
    std::int64_t LastWanActivity() const { return m_lastWanActivity; }
    CTcpClient* TunnelClient() const { return m_tunnelClient; }
    COrvaneLan& Lan() { return m_lan; }
    // Called with every text handed to the LAN (tests, fuzzing).
    void SetLanSendObserver(std::function<void(const std::string&)> observer) {
        m_lanSendObserver = std::move(observer);
    }
    // Called with every text the tunnel socket accepted, as it accepts it (tests).
    void SetTunnelSendObserver(std::function<void(const std::string&)> observer) {
        m_tunnelSendObserver = std::move(observer);
    }

protected:
    bool event(QEvent* e) override;

private:
    void SetTimer(int id, int milliseconds);
    void KillTimer(int id);
    void HandleTunnelLine(std::string_view line);
    void CarryOut(const std::string& text, LanVerdict verdict);
    void SendInventoryReply(InventoryReply reply);
    void NameTunnel(const char* station);
    void SendHeartbeat();
    // Lines caused by LAN messages: paced, in order; maxWaitNs as CTunnelPacer::Enqueue.
    void PaceToTunnel(std::string line, std::int64_t maxWaitNs = CTunnelPacer::kNoWaitLimit);
    void DropStaleLine(const std::string& line);
    bool WriteToTunnel(const std::string& line);
    void NoteLanDrops();
    void SendToTunnel(const std::string& text);
    // The one place where the hub writes to the tunnel socket.
    bool WriteLine(const std::string& text);
    void SendToLan(const std::string& text);
    void CloseTunnelClient();
    void SetState(int state);
    void NoteDisconnection(DisconnectCause cause, const std::string& detail);
    void LogDisconnectCause();
    void EndTunnel();
    void NoteFarStation(const char* name);
    void PruneFirstHeard();
    void CountToWan(DropReason reason) { ++m_toWan[reason]; }
    std::int64_t MonotonicSecond() const { return m_monotonic() / kNanosecondsPerSecond; }

    const Settings& m_settings;
    CDebugLog& m_log;
    IKavlinkView* m_view;
    CalendarClock m_clock;
    MonotonicClock m_monotonic = SystemMonotonicNanoseconds;

    // Moments below are whole seconds of the monotonic clock.
    int m_tunnelState = Disconnected;
    std::optional<std::int64_t> m_stateSince;
    std::optional<std::int64_t> m_downSince; // not logged in since; unset while logged in
    std::uint64_t m_attemptsSinceDown = 0;
    std::optional<std::int64_t> m_lastDisconnect;
    DisconnectCause m_lastCause = DisconnectCause::None;
    std::string m_causeDetail;
    std::optional<std::int64_t> m_nextReconnect;
    CTcpClient* m_tunnelClient = nullptr;
    std::string m_tunnelName = "~";
    CPromptReader m_prompt;
    CTunnelFramer m_receiveBuffer;
    std::int64_t m_lastWanActivity = 0;
    CWanStations m_wanStations;
    CEchoMemory m_lanEchoes;
    COrvaneLan m_lan;
    CTunnelPacer m_pacer;
    CDropTally m_lanBacklogDrops;
    CDropTally m_queueDrops;
    CDropTally m_writeDrops;
    std::uint64_t m_lanDropsSeen = 0;
    // Counted as they happen; the drops counted elsewhere are added by Status().
    DirectionCounts m_toWan;
    DirectionCounts m_toLan;
    std::uint64_t m_helloRewritten = 0;
    std::uint64_t m_inventoryAnswered = 0;
    std::uint64_t m_heartbeatsReceived = 0;
    CMinuteRate m_toWanRate;
    CMinuteRate m_toLanRate;
    // When each far station was first heard; kept no larger than the table it follows.
    std::map<std::string, std::int64_t> m_firstHeard;

    bool m_manualTimers = false;
    std::array<QTimer, 5> m_timers;
    std::array<bool, 5> m_manualRunning{};
    std::array<int, 5> m_periods{};
    std::function<void(const std::string&)> m_lanSendObserver;
    std::function<void(const std::string&)> m_tunnelSendObserver;
};
