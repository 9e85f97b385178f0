#pragma once

#include "CClockDeadline.h"
#include "CLogSummary.h"
#include "CLoginThrottle.h"
#include "CPasswordChecks.h"
#include "CRecentTroubles.h"
#include "CServerAcceptor.h"
#include "CServerTls.h"
#include "CUserTable.h"
#include "Clock.h"
#include "IConnectionHost.h"
#include "ServerOptions.h"
#include "ServerSnapshot.h"

#include <QBasicTimer>
#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CLogWriter;
class CServerConnection;

// The tunnel server: accepts clients, logs them in, and passes every valid tunnel line from
// one logged-in client to all the others. Single-threaded, driven by the event loop.
class CTunnelServer : public QObject, private IConnectionHost {
    Q_OBJECT

public:
    using LogSink = std::function<void(const QString&)>;

    explicit CTunnelServer(ServerOptions options, QObject* parent = nullptr);
    ~CTunnelServer() override;

    // Where log lines go (standard error through a writer that never blocks, unless replaced);
    // one call per line, no newline.
    void SetLogSink(LogSink sink) { m_logSink = std::move(sink); }
    // The clock of every time-out, pause, period and limit. Tick() applies what is due; the
    // timers only wake the loop for it.
    void SetClock(MonotonicClock clock) { m_clock = std::move(clock); }
    // Reads the users file when one is set. Returns false with a reason otherwise.
    bool LoadUsers(QString* error);
    // Re-reads the users file; on failure the table in use stays.
    bool ReloadUsers();
    // Re-reads the TLS certificate and key, for the connections to come; on failure the pair
    // in use stays. Logs the fingerprint in use either way.
    bool ReloadTls();
    // What SIGHUP does: both of the above.
    void Reload();
    // Where passwords are checked, off the relay's thread (tests replace its matcher).
    CPasswordChecks& PasswordChecks() { return *m_checks; }
    // Reads the TLS certificate and key when they are set, then listens.
    bool Listen(QString* error);
    // The ports listened on: plain and TLS; 0 for one that is not.
    quint16 Port() const;
    quint16 TlsPort() const { return m_acceptor->TlsPort(); }
    // SHA-256 of the certificate new TLS connections get; empty without TLS.
    const QString& TlsFingerprint() const { return m_tls.Fingerprint(); }
    // Sends every logged-in client a heartbeat now.
    void SendHeartbeats();
    // Everything due on the clock: heartbeats and summary lines at their periods, log-in
    // time-outs, delayed refusals and password prompts, accepting again after running out of
    // descriptors, summaries of repeated events, forgetting quiet addresses.
    void Tick();
    // Closes every connection and stops listening.
    void Shutdown();
    // The whole status: a summary, then one line per client (address, login, logged in since,
    // lines in and out, bytes waiting).
    QStringList StatusLines() const;
    // Clients, log-ins and lines since the last summary; counts from here on.
    QString SummaryLine();
    // What the status page shows, with at most maxRows connections and as many addresses.
    ServerSnapshot Snapshot(int maxRows) const;

    const ServerOptions& Options() const override { return m_options; }
    int ConnectionCount() const;
    int LoggedInCount() const;
    int AwaitingLoginCount() const { return m_acceptor->Limits().PendingTotal(); }
    bool IsAcceptPaused() const { return m_acceptor->IsPaused(); }
    qint64 PendingWriteTotal() const { return m_pendingWriteTotal; }
    // Milliseconds on the clock.
    qint64 Now() const override { return m_clock() / 1000000; }

    void Log(const QString& text) const override;
    // Logs the line unless events of its kind are being summed up. Every line a peer can bring
    // goes through one of these two.
    void LogRepeated(const QString& what, const QString& from, const QString& line) override;
    void LogPerAddress(const QString& what, const QString& from, const QString& line) override;

signals:
    void connectionCountChanged();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    // What the connections call.
    void CheckPassword(CServerConnection* connection, const QByteArray& login,
                       const QByteArray& password, const CLoginThrottle::Turn& turn) override;
    CLoginThrottle::Turn PasswordTurn(const QByteArray& address, const QByteArray& login) override;
    qint64 LoginDecided(const QByteArray& address, const QByteArray& login,
                        const CLoginThrottle::Turn& turn, bool accepted) override;
    void TurnAbandoned(const QByteArray& address, const QByteArray& login,
                       const CLoginThrottle::Turn& turn) override;
    void LoggedIn(CServerConnection* connection) override;
    void Relay(CServerConnection* from, std::string_view line) override;
    void LineDropped(DropReason reason) override;
    void QueueRead(CServerConnection* connection) override;
    void PendingWriteChanged(qint64 delta) override { m_pendingWriteTotal += delta; }
    void ConnectionClosed(CServerConnection* connection, bool wasAwaitingLogin) override;

    // Heartbeats and summary lines whose period has come.
    void RunPeriods(qint64 now);
    void Admitted(int fd, quint64 id, const QByteArray& address, bool tls);
    bool MakeRoom(const CConnectionLimits::Victim& victim);
    void CutSlowestReaders();
    void Reap();
    void ServeReads();
    void Refused(const QByteArray& address, RefusalReason reason);

    ServerOptions m_options;
    MonotonicClock m_clock = SystemMonotonicNanoseconds;
    CUserTable m_users;
    CServerTls m_tls;

    CLoginThrottle m_throttle;
    std::unique_ptr<CPasswordChecks> m_checks;
    CLogSummary m_summary;
    CServerAcceptor* m_acceptor = nullptr;
    std::vector<CServerConnection*> m_connections;
    QHash<quint64, CServerConnection*> m_byId; // until reaped
    qint64 m_pendingWriteTotal = 0;
    qint64 m_lastPrune = 0;
    bool m_reapPending = false;
    std::vector<CServerConnection*> m_readQueue;
    bool m_readsPending = false;
    std::string m_heartbeatLine;
    CClockDeadline m_heartbeatDeadline;
    CClockDeadline m_statsDeadline;
    QBasicTimer m_tickTimer;
    std::uint64_t m_linesRelayed = 0;   // lines taken from clients, since start
    std::uint64_t m_linesDelivered = 0; // copies handed to receivers, since start
    std::uint64_t m_summaryRelayed = 0; // the same at the last summary
    std::uint64_t m_summaryDelivered = 0;
    std::uint64_t m_linesDropped = 0;
    std::uint64_t m_summaryDropped = 0;
    ServerCounters m_counters;
    CRecentTroubles m_troubles;
    QDateTime m_startedAt = QDateTime::currentDateTime();
    qint64 m_lastRateSample = 0;
    std::shared_ptr<CLogWriter> m_stderr;
    LogSink m_logSink;
};
