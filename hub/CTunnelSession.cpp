#include "CTunnelSession.h"

#include "CDebugLog.h"
#include "CTcpClient.h"
#include "Settings.h"
#include "StatusText.h"

#include <cstring>

namespace {
constexpr int kReconnectMs = 5000;
constexpr int kWatchdogMs = 1000;
constexpr int kHeartbeatMs = 15000;
// SYNs lost in a blackout are sent again after 1, 3 and 7 s: an attempt of 10 s, then 5 s of
// pause, puts a site back within about 10 s of the path's return.
constexpr int kConnectLimitMs = 10000;
// How often a refusal that repeats itself is counted in the log.
constexpr std::int64_t kRefusalSummarySeconds = 60;
constexpr std::int64_t kWanTimeoutSeconds = 60;
constexpr std::string_view kLoginPrompt = "login:";
constexpr std::string_view kPasswordPrompt = "password:";
} // namespace

CTunnelSession::CTunnelSession(const Settings& settings, CDebugLog& log, MonotonicClock clock,
                               QObject* parent)
    : QObject(parent), m_settings(settings), m_log(log), m_clock(std::move(clock)) {
    connect(&m_reconnect, &CLinkTimer::timeout, this, [this] { OnTimer(TunnelTimer::Reconnect); });
    connect(&m_watchdog, &CLinkTimer::timeout, this, [this] { OnTimer(TunnelTimer::Watchdog); });
    connect(&m_heartbeat, &CLinkTimer::timeout, this, [this] { OnTimer(TunnelTimer::Heartbeat); });
    connect(&m_connectLimit, &CLinkTimer::timeout, this, [this] { OnTimer(TunnelTimer::Connect); });
}

CTunnelSession::~CTunnelSession() {
    Shutdown();
}

CLinkTimer& CTunnelSession::Timer(TunnelTimer timer) {
    return const_cast<CLinkTimer&>(std::as_const(*this).Timer(timer));
}

const CLinkTimer& CTunnelSession::Timer(TunnelTimer timer) const {
    switch (timer) {
    case TunnelTimer::Reconnect:
        return m_reconnect;
    case TunnelTimer::Watchdog:
        return m_watchdog;
    case TunnelTimer::Heartbeat:
        return m_heartbeat;
    case TunnelTimer::Connect:
        break;
    }
    return m_connectLimit;
}

void CTunnelSession::SetManualTimers(bool manual) {
    m_reconnect.SetManual(manual);
    m_watchdog.SetManual(manual);
    m_heartbeat.SetManual(manual);
    m_connectLimit.SetManual(manual);
}

void CTunnelSession::OnTimer(TunnelTimer timer) {
    switch (timer) {
    case TunnelTimer::Reconnect:
        m_reconnect.Stop();
        Connect();
        break;
    case TunnelTimer::Watchdog:
        emit watchdogTick();
        if (m_lastWanActivity < Second() - kWanTimeoutSeconds) {
            NoteDisconnection(DisconnectCause::WanTimeout, {});
            m_log.LogLine(1, "Disconnecting tunnel (WAN timeout)");
            End();
            LogDisconnectCause();
        }
        break;
    case TunnelTimer::Heartbeat:
        if (m_client != nullptr && m_state == TunnelState::LoggedIn)
            emit heartbeatDue();
        break;
    case TunnelTimer::Connect:
        m_connectLimit.Stop();
        if (m_client != nullptr && m_state == TunnelState::Connecting) {
            NoteDisconnection(DisconnectCause::ConnectTimeout, {});
            End();
            LogDisconnectCause();
        }
        break;
    }
}

void CTunnelSession::CloseClient() {
    emit closingClient();
    if (m_client == nullptr)
        return;
    m_client->Close();
    // The client may be on the call stack (a signal it emitted); delete it later.
    m_client->deleteLater();
    m_client = nullptr;
}

void CTunnelSession::Shutdown() {
    FlushRefusals();
    m_connectLimit.Stop();
    m_reconnect.Stop();
    m_watchdog.Stop();
    m_heartbeat.Stop();
    CloseClient();
}

void CTunnelSession::SetState(TunnelState state) {
    if (state != m_state)
        m_stateSince = Second();
    if (state == TunnelState::LoggedIn) {
        m_downSince.reset();
        m_attemptsSinceDown = 0;
    } else if (m_state == TunnelState::LoggedIn || !m_downSince) {
        m_downSince = Second();
        m_attemptsSinceDown = 0;
    }
    m_state = state;
}

void CTunnelSession::NoteDisconnection(DisconnectCause cause, const std::string& detail) {
    m_lastDisconnect = Second();
    m_lastCause = cause;
    m_causeDetail = detail;
    if (!m_attemptStartLogged && !RepeatsRefusal())
        LogAttemptEnd();
}

// The same words as the status window, so that the log alone tells why.
void CTunnelSession::LogDisconnectCause() {
    if (!m_attemptStartLogged) {
        // The same refusal as the last: counted, and the count logged now and then.
        ++m_refusals;
        if (Second() - m_refusalsSince >= kRefusalSummarySeconds)
            FlushRefusals();
        return;
    }
    m_log.LogLine(1, "Disconnect cause : %s",
                  DisconnectCauseText(m_lastCause, m_causeDetail).c_str());
    if (m_lastCause == DisconnectCause::CertificateRefused) {
        m_loggedRefusal = m_causeDetail;
        m_refusalsSince = Second();
    }
}

bool CTunnelSession::RepeatsRefusal() const {
    return m_lastCause == DisconnectCause::CertificateRefused && m_loggedRefusal &&
           *m_loggedRefusal == m_causeDetail;
}

// After a refused certificate the next attempt's lines wait until it ends otherwise: a
// refusal like the last one only adds to a count.
void CTunnelSession::LogAttemptStart() {
    m_attemptStartLogged = !RepeatsRefusal();
    if (m_attemptStartLogged)
        m_log.LogLine(1, "Connecting tunnel...");
}

void CTunnelSession::LogAttemptEnd() {
    FlushRefusals();
    m_loggedRefusal.reset();
    m_log.LogLine(1, "Connecting tunnel...");
    m_attemptStartLogged = true;
}

void CTunnelSession::FlushRefusals() {
    if (m_refusals == 0)
        return;
    m_log.LogLine(1, "Certificate refused again on %llu more attempt%s, as above",
                  static_cast<unsigned long long>(m_refusals), m_refusals == 1 ? "" : "s");
    m_refusals = 0;
    m_refusalsSince = Second();
}

void CTunnelSession::Connect(bool fromOptions) {
    if (fromOptions && m_client != nullptr) {
        NoteDisconnection(DisconnectCause::LocalRequest, {});
        LogDisconnectCause();
    }
    LogAttemptStart();
    SetState(TunnelState::Connecting);
    ++m_attemptsSinceDown;
    m_nextReconnect.reset();
    CloseClient();
    if (fromOptions) {
        // The new connection is judged by its own activity only.
        m_reconnect.Stop();
        m_watchdog.Stop();
    }
    m_connectLimit.Start(kConnectLimitMs);
    m_client = new CTcpClient(this);
    connect(m_client, &CTcpClient::textReceived, this, &CTunnelSession::OnTunnelData);
    connect(m_client, &CTcpClient::socketConnected, this, &CTunnelSession::OnSocketConnected);
    connect(m_client, &CTcpClient::drained, this, &CTunnelSession::drained);
    connect(m_client, &CTcpClient::tunnelConnected, this, &CTunnelSession::OnTunnelConnected);
    connect(m_client, &CTcpClient::tunnelClosed, this, &CTunnelSession::OnTunnelClosed);
    m_client->Connect(m_settings.Hostname, m_settings.TunnelPortNumber,
                      TunnelTls{m_settings.Tls != 0, m_settings.TlsFingerprint});
    emit connecting();
}

void CTunnelSession::OnSocketConnected() {
    m_connectLimit.Stop();
    // From here a server that says nothing, a TLS handshake that stalls included, is timed
    // out like any silent server.
    NoteWanActivity();
    m_watchdog.Start(kWatchdogMs);
}

void CTunnelSession::OnTunnelConnected() {
    m_connectLimit.Stop();
    if (!m_attemptStartLogged)
        LogAttemptEnd();
    NoteWanActivity();
    if (!m_watchdog.IsRunning())
        m_watchdog.Start(kWatchdogMs);
    SetState(TunnelState::AwaitLogin);
    m_prompt.Expect(kLoginPrompt);
    emit tunnelConnected();
}

void CTunnelSession::OnTunnelClosed() {
    // A second call for the same connection has no cause of its own.
    const bool hadClient = m_client != nullptr;
    if (hadClient)
        NoteDisconnection(m_client->Cause(), m_client->CauseDetail());
    if (hadClient && m_lastCause == DisconnectCause::ClosedByServer &&
        m_state == TunnelState::AwaitLogin) {
        // A TLS server drops a client that never starts the handshake.
        NoteDisconnection(DisconnectCause::ClosedBeforePrompt,
                          m_settings.Tls != 0
                              ? std::string()
                              : "is this the server's TLS port? Then tick \"Encrypted (TLS)\" "
                                "in Options");
    } else if (hadClient && m_lastCause == DisconnectCause::TlsFailed) {
        // A plain server's prompt is no TLS record: "wrong version number" and the like.
        m_causeDetail += "; does the server speak TLS on port " +
                         std::to_string(m_settings.TunnelPortNumber) +
                         "? Its TLS port is usually 10369";
    }
    End();
    if (hadClient)
        LogDisconnectCause();
}

void CTunnelSession::End() {
    m_connectLimit.Stop();
    CloseClient();
    emit tunnelEnded();
    SetState(TunnelState::Disconnected);
    m_reconnect.Start(kReconnectMs);
    m_nextReconnect = Second() + kReconnectMs / 1000;
    m_watchdog.Stop();
    m_heartbeat.Stop();
    if (m_attemptStartLogged)
        m_log.LogLine(1, "Tunnel disconnected");
}

bool CTunnelSession::IsDrained() const {
    return m_client != nullptr && m_client->IsDrained();
}

bool CTunnelSession::IsEncrypted() const {
    return m_client != nullptr && m_client->IsEncrypted();
}

bool CTunnelSession::Write(const std::string& text) {
    if (m_client == nullptr || !m_client->SendText(text.c_str()))
        return false;
    if (m_sendObserver)
        m_sendObserver(std::string(text.c_str()));
    return true;
}

void CTunnelSession::OnTunnelData(const QByteArray& received) {
    // The chunk counts only up to its first NUL.
    const std::string_view chunk(received.constData(), std::strlen(received.constData()));
    switch (m_state) {
    case TunnelState::AwaitLogin:
        if (m_prompt.Read(chunk)) {
            Write(m_settings.Login + "\n");
            SetState(TunnelState::AwaitPassword);
            m_prompt.Expect(kPasswordPrompt);
        }
        break;
    case TunnelState::AwaitPassword:
        if (m_prompt.Read(chunk)) {
            Write(m_settings.Password + "\n");
            SetState(TunnelState::LoggedIn);
            // The server answers nothing; a refused log-in shows as a close right after.
            m_log.LogLine(1, "Tunnel logged in as %s", m_settings.Login.c_str());
            emit loggedIn();
            if (m_settings.HeartBeat != 0)
                m_heartbeat.Start(kHeartbeatMs);
            else
                m_heartbeat.Stop();
        }
        break;
    case TunnelState::LoggedIn:
        emit wanText(QByteArray(chunk.data(), static_cast<qsizetype>(chunk.size())));
        break;
    default:
        break;
    }
}

void CTunnelSession::Describe(HubStatus& status) const {
    // Ages come from the monotonic clock; the calendar only dates them for the reader, so a
    // step of the time moves the dates shown but never an age or a time left.
    const std::int64_t second = Second();
    const auto dated = [&](std::optional<std::int64_t> moment) {
        return moment ? status.now - (second - *moment) : 0;
    };
    status.tunnel = m_state;
    status.tunnelSince = dated(m_stateSince);
    status.downSince = dated(m_downSince);
    status.attemptsSinceDown = m_attemptsSinceDown;
    status.host = m_settings.Hostname;
    status.port = m_settings.TunnelPortNumber;
    status.login = m_settings.Login;
    status.tls = m_settings.Tls != 0;
    status.pinned = !m_settings.TlsFingerprint.empty();
    status.encrypted = IsEncrypted();
    status.lastDisconnect = dated(m_lastDisconnect);
    status.lastCause = m_lastCause;
    status.causeDetail = m_causeDetail;
    status.nextReconnect = m_reconnect.IsRunning() ? dated(m_nextReconnect) : 0;
}
