#pragma once

#include "CDropTally.h"
#include "CEchoMemory.h"
#include "CLanToWanRelay.h"
#include "CTunnelSession.h"
#include "CWanStations.h"
#include "CWanToLanRelay.h"
#include "Clock.h"
#include "Orvane.h"
#include "RelayParts.h"
#include "StatusText.h"

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <functional>
#include <string>

class CDebugLog;
class CTcpClient;
struct Settings;

// The relay between one LAN and the tunnel: puts together the tunnel session, the LAN
// endpoint, both relay directions and what they share (far stations, echoes, counters), and
// tells the status. Everything runs on the thread that owns it.
class CTunnelHub : public QObject {
    Q_OBJECT

public:
    // clock stamps the status only; every duration runs on the monotonic clock.
    CTunnelHub(const Settings& settings, CDebugLog& log,
               const CalendarClock& clock = SystemCalendarSeconds, QObject* parent = nullptr);
    ~CTunnelHub() override;

    // fromOptions: also stops a pending reconnection and the old watchdog.
    void ConnectTunnel(bool fromOptions = false) { m_session.Connect(fromOptions); }
    void OpenLan();

    // What the links deliver; tests call them directly.
    void OnTunnelData(const QByteArray& chunk) { m_session.OnTunnelData(chunk); }
    void OnTunnelConnected() { m_session.OnTunnelConnected(); }
    void OnTunnelClosed() { m_session.OnTunnelClosed(); }
    void OnLanMessage(const QByteArray& text) { m_lanToWan.OnLanMessage(text); }
    void OnTimer(TunnelTimer timer) { m_session.OnTimer(timer); }

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
    void PaceTunnel() { m_lanToWan.Pacer().Tick(); }
    const CTunnelPacer& Pacer() const { return m_lanToWan.Pacer(); }
    bool IsTimerRunning(TunnelTimer timer) const { return m_session.IsTimerRunning(timer); }
    // The period the timer was last armed with, in manual mode too.
    int TimerPeriodMs(TunnelTimer timer) const { return m_session.TimerPeriodMs(timer); }
    TunnelState State() const { return m_session.State(); }
    const std::string& TunnelName() const { return m_lanToWan.TunnelName(); }
    const CWanStations& WanStations() const { return m_wanStations; }
    CWanStations& WanStations() { return m_wanStations; }
    std::size_t ReceiveBuffered() const { return m_wanToLan.Buffered(); }
    // In whole seconds of the monotonic clock.
    std::int64_t LastWanActivity() const { return m_session.LastWanActivity(); }
    CTcpClient* TunnelClient() const { return m_session.Client(); }
    COrvaneLan& Lan() { return m_lan; }
    // Takes every text for the LAN in place of the LAN socket (tests, fuzzing); returns
    // whether it left.
    void SetLanSender(std::function<bool(const std::string&)> sender) {
        m_lanSender = std::move(sender);
    }
    // Called with every text the tunnel socket accepted, as it accepts it (tests).
    void SetTunnelSendObserver(std::function<void(const std::string&)> observer) {
        m_session.SetSendObserver(std::move(observer));
    }

signals:
    // "~" and the LAN station's name, as title and tooltip show it.
    void tunnelNamed(const std::string& name);
    // The connection is made, and until it ends the tray animates.
    void tunnelConnected();
    void tunnelEnded();

private:
    bool SendToLan(const std::string& text);
    void OnWatchdog();
    RelayParts Parts();

    const Settings& m_settings;
    CDebugLog& m_log;
    CalendarClock m_clock;
    MonotonicClock m_monotonic = SystemMonotonicNanoseconds;

    CWanStations m_wanStations;
    CEchoMemory m_lanEchoes;
    COrvaneLan m_lan;
    RelayCounters m_counters;
    CTunnelSession m_session;
    CWanToLanRelay m_wanToLan;
    CLanToWanRelay m_lanToWan;
    CDropTally m_lanSendFailures;
    std::function<bool(const std::string&)> m_lanSender;
};
