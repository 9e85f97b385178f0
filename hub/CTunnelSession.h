#pragma once

#include "CLinkTimer.h"
#include "CPromptReader.h"
#include "Clock.h"
#include "DisconnectCause.h"
#include "TunnelState.h"

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class CDebugLog;
class CTcpClient;
struct HubStatus;
struct Settings;

// Connect bounds one attempt until the TCP connection is made: one started while the path is
// down must not wait out the kernel's own minute once the path is back.
enum class TunnelTimer { Reconnect, Watchdog, Heartbeat, Connect };

// One tunnel connection after another: connect, answer the log-in prompts, keep the
// heartbeat and the WAN time-out, reconnect 5 s after any end. Knows nothing of messages:
// once logged in, what arrives goes out as wanText, and writes come in through Write.
class CTunnelSession : public QObject {
    Q_OBJECT

public:
    CTunnelSession(const Settings& settings, CDebugLog& log, MonotonicClock clock,
                   QObject* parent = nullptr);
    ~CTunnelSession() override;

    // fromOptions: also stops a pending reconnection and the old watchdog.
    void Connect(bool fromOptions = false);
    // Closes for good, without reconnecting (the program's end).
    void Shutdown();

    void OnTunnelData(const QByteArray& chunk);
    // The TCP connection is made; with TLS the handshake follows.
    void OnSocketConnected();
    void OnTunnelConnected();
    void OnTunnelClosed();
    void OnTimer(TunnelTimer timer);

    TunnelState State() const { return m_state; }
    bool IsOpen() const { return m_client != nullptr; }
    // Whether the kernel took everything written so far (see CTcpClient::IsDrained).
    bool IsDrained() const;
    // Whether the current connection is encrypted (TLS handshake done).
    bool IsEncrypted() const;
    // The one place where anything is written to the tunnel socket.
    bool Write(const std::string& text);
    // Anything crossing either way keeps the tunnel from timing out.
    void NoteWanActivity() { m_lastWanActivity = Second(); }
    // In whole seconds of the monotonic clock.
    std::int64_t LastWanActivity() const { return m_lastWanActivity; }
    CTcpClient* Client() const { return m_client; }
    // The connection's part of the status; status.now must be set.
    void Describe(HubStatus& status) const;

    // With manual timers nothing ticks by itself: tests call OnTimer.
    void SetManualTimers(bool manual);
    bool IsTimerRunning(TunnelTimer timer) const { return Timer(timer).IsRunning(); }
    int TimerPeriodMs(TunnelTimer timer) const { return Timer(timer).PeriodMs(); }
    // Called with every text the tunnel socket accepted, as it accepts it (tests).
    void SetSendObserver(std::function<void(const std::string&)> observer) {
        m_sendObserver = std::move(observer);
    }

signals:
    // A new connection is being made; the last one's far stations are no longer heard.
    void connecting();
    // The client is about to be closed: what waits for it goes with it.
    void closingClient();
    void tunnelConnected();
    void loggedIn();
    // Received after the log-in, up to its first NUL.
    void wanText(const QByteArray& text);
    void tunnelEnded();
    // Each watchdog second, before the WAN time-out is judged.
    void watchdogTick();
    void heartbeatDue();
    // Everything written has reached the kernel.
    void drained();

private:
    CLinkTimer& Timer(TunnelTimer timer);
    const CLinkTimer& Timer(TunnelTimer timer) const;
    void CloseClient();
    void SetState(TunnelState state);
    void NoteDisconnection(DisconnectCause cause, const std::string& detail);
    void LogDisconnectCause();
    void End();
    // The attempt's own lines, or, while the server's certificate is refused again and again
    // for the same reason, a count now and then (see m_refusals).
    bool RepeatsRefusal() const;
    void LogAttemptStart();
    void LogAttemptEnd();
    void FlushRefusals();
    std::int64_t Second() const { return m_clock() / kNanosecondsPerSecond; }

    const Settings& m_settings;
    CDebugLog& m_log;
    MonotonicClock m_clock;
    // Moments below are whole seconds of the monotonic clock.
    TunnelState m_state = TunnelState::Disconnected;
    std::optional<std::int64_t> m_stateSince;
    std::optional<std::int64_t> m_downSince; // not logged in since; unset while logged in
    std::uint64_t m_attemptsSinceDown = 0;
    std::optional<std::int64_t> m_lastDisconnect;
    DisconnectCause m_lastCause = DisconnectCause::None;
    std::string m_causeDetail;
    std::optional<std::int64_t> m_nextReconnect;
    std::int64_t m_lastWanActivity = 0;
    CTcpClient* m_client = nullptr;
    CPromptReader m_prompt;
    CLinkTimer m_reconnect;
    CLinkTimer m_watchdog;
    CLinkTimer m_heartbeat;
    CLinkTimer m_connectLimit;
    // Refusals of the same certificate for the same reason since the last one logged in full:
    // a wrong pin is tried every 5 s for as long as nobody fixes it.
    std::uint64_t m_refusals = 0;
    std::int64_t m_refusalsSince = 0;
    std::optional<std::string> m_loggedRefusal; // the refusal last logged in full
    bool m_attemptStartLogged = true;
    std::function<void(const std::string&)> m_sendObserver;
};
