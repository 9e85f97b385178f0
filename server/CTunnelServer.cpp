#include "CTunnelServer.h"

#include "AddressKey.h"
#include "CLogWriter.h"
#include "CServerConnection.h"
#include "LogText.h"
#include "StringTable.h"
#include "TunnelLine.h"

#include <QDateTime>
#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>
#include <QTimerEvent>

#include <algorithm>

#include <unistd.h>

namespace {
constexpr qint64 kPruneEveryMs = 60000;
// Events of one kind from one address logged one by one per summary window.
constexpr int kShownPerWindow = 3;

// Pauses stay within a minute whatever was asked: a client gives up after 60 s of silence.
constexpr qint64 kLongestPauseMs = 60000;

CLoginThrottle::Settings ThrottleSettings(const ServerOptions& options) {
    CLoginThrottle::Settings settings;
    settings.maxPauseMs =
        std::clamp<qint64>(options.guessDelayMaxMs, settings.firstPauseMs, kLongestPauseMs);
    return settings;
}

// A core for the relay, the rest for hashes, and never so many that their memory (16 MiB for
// a yescrypt check with mkpasswd's defaults) adds up.
CPasswordChecks::Settings CheckSettings() {
    CPasswordChecks::Settings settings;
    settings.threads = std::clamp(QThread::idealThreadCount() - 1, 1, 4);
    settings.maxQueued = 32 * settings.threads;
    return settings;
}

// One line of the log: the time with its offset, the text, a newline.
QByteArray StampedLine(const QString& text) {
    return LogTimestamp(QDateTime::currentDateTime()).toUtf8() + ' ' + text.toUtf8() + '\n';
}
} // namespace

CTunnelServer::CTunnelServer(ServerOptions options, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_throttle(ThrottleSettings(m_options)),
      m_checks(std::make_unique<CPasswordChecks>(CheckSettings(), [this] { return Now(); })),
      m_summary(m_options.summaryWindowMs, kShownPerWindow),
      m_heartbeatLine("HEARTBEAT: \"~server\" \"\" "),
      m_stderr(std::make_shared<CLogWriter>(
          STDERR_FILENO, std::size_t{1024} * 1024,
          [](const QByteArray& text) { return StampedLine(QString::fromUtf8(text)); })) {
    EncodeTunnelLine(m_heartbeatLine);
    CServerAcceptor::Settings accepting;
    accepting.address = m_options.listenAddress;
    accepting.plain = m_options.plain;
    accepting.port = m_options.port;
    accepting.tls = m_options.Tls();
    accepting.tlsPort = m_options.tlsPort;
    accepting.backlog = m_options.listenBacklog;
    accepting.retryMs = m_options.acceptRetryMs;
    accepting.limits = {m_options.maxAwaitingLogin, m_options.maxAwaitingPerAddress,
                        m_options.connectsPerMinute};
    m_acceptor = new CServerAcceptor(
        accepting, [this] { return Now(); },
        [this](const CConnectionLimits::Victim& victim) { return MakeRoom(victim); }, this);
    m_logSink = [writer = m_stderr](const QString& text) { writer->Write(StampedLine(text)); };
}

CTunnelServer::~CTunnelServer() {
    Shutdown();
}

bool CTunnelServer::LoadUsers(QString* error) {
    if (m_options.usersFile.isEmpty())
        return true;
    QString warning;
    if (!m_users.LoadFile(m_options.usersFile, error, &warning))
        return false;
    if (!warning.isEmpty())
        Log(warning);
    return true;
}

bool CTunnelServer::ReloadUsers() {
    if (m_options.usersFile.isEmpty())
        return true;
    QString error;
    QString warning;
    const CUserTable before = m_users;
    if (!m_users.LoadFile(m_options.usersFile, &error, &warning)) {
        Log(QStringLiteral("users file not reloaded, keeping %1 logins: %2")
                .arg(m_users.Size())
                .arg(error));
        return false;
    }
    if (!warning.isEmpty())
        Log(warning);
    Log(QStringLiteral("users file reloaded: %1 logins").arg(m_users.Size()));
    if (m_options.allowAnyLogin)
        return true;
    // Sessions of a login that was removed, or whose password changed, end now.
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        CServerConnection* c = m_connections[i];
        if (!c->IsLoggedIn() || before.SameEntry(m_users, c->Session().Login()))
            continue;
        c->Close(m_users.Has(c->Session().Login())
                     ? QStringLiteral("its password changed in the users file")
                     : QStringLiteral("its login was removed from the users file"));
    }
    return true;
}

bool CTunnelServer::ReloadTls() {
    if (!m_options.Tls())
        return true;
    QString error;
    QStringList warnings;
    if (!m_tls.Load(m_options.tlsCertificateFile, m_options.tlsKeyFile, &error, &warnings)) {
        Log(QStringLiteral("TLS certificate not reloaded, keeping the one with SHA-256 "
                           "fingerprint %1: %2")
                .arg(m_tls.Fingerprint(), error));
        return false;
    }
    for (const QString& warning : warnings)
        Log(warning);
    Log(QStringLiteral("TLS certificate reloaded for new connections: SHA-256 fingerprint %1, "
                       "valid until %2")
            .arg(m_tls.Fingerprint(), m_tls.ExpiryDate().toString(Qt::ISODate)));
    return true;
}

void CTunnelServer::Reload() {
    ReloadUsers();
    ReloadTls();
}

bool CTunnelServer::Listen(QString* error) {
    QStringList warnings;
    if (m_options.Tls() &&
        (!CServerTls::Available(error) ||
         !m_tls.Load(m_options.tlsCertificateFile, m_options.tlsKeyFile, error, &warnings)))
        return false;
    if (!m_acceptor->Listen(error))
        return false;
    connect(m_acceptor, &CServerAcceptor::accepted, this, &CTunnelServer::Admitted);
    connect(m_acceptor, &CServerAcceptor::repeatedEvent, this, &CTunnelServer::LogRepeated);
    connect(m_acceptor, &CServerAcceptor::refused, this, &CTunnelServer::Refused);
    const qint64 now = Now();
    if (m_options.heartbeatMs > 0)
        m_heartbeatDeadline.Start(m_options.heartbeatMs, now, this);
    if (m_options.statsIntervalMs > 0)
        m_statsDeadline.Start(m_options.statsIntervalMs, now, this);
    if (m_options.tickMs > 0)
        m_tickTimer.start(m_options.tickMs, this);
    m_lastPrune = now;
    m_lastRateSample = now;
    const QString where = m_options.listenAddress == QHostAddress::Any
                              ? QStringLiteral("all addresses")
                              : m_options.listenAddress.toString();
    if (m_options.plain)
        Log(QStringLiteral("listening on %1 port %2").arg(where).arg(Port()));
    if (m_options.Tls()) {
        Log(QStringLiteral("listening for TLS on %1 port %2").arg(where).arg(TlsPort()));
        for (const QString& warning : warnings)
            Log(warning);
        Log(QStringLiteral("TLS certificate: SHA-256 fingerprint %1, valid until %2")
                .arg(m_tls.Fingerprint(), m_tls.ExpiryDate().toString(Qt::ISODate)));
    }
    if (m_options.guessDelayMaxMs > kLongestPauseMs)
        Log(QStringLiteral("pauses after failed log-ins last at most %1 s, not %2 s")
                .arg(kLongestPauseMs / 1000)
                .arg(m_options.guessDelayMaxMs / 1000));
    return true;
}

quint16 CTunnelServer::Port() const {
    return m_acceptor->Port();
}

void CTunnelServer::SendHeartbeats() {
    // By index: a client dropped for not reading stays in the list until the reap.
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        if (m_connections[i]->IsLoggedIn())
            m_connections[i]->Send(m_heartbeatLine);
    }
    CutSlowestReaders();
}

void CTunnelServer::RunPeriods(qint64 now) {
    if (m_heartbeatDeadline.PeriodDue(m_options.heartbeatMs, now, this))
        SendHeartbeats();
    if (m_statsDeadline.PeriodDue(m_options.statsIntervalMs, now, this))
        Log(SummaryLine());
}

void CTunnelServer::Tick() {
    const qint64 now = Now();
    RunPeriods(now);
    m_acceptor->Tick(now);
    m_checks->Tick(now);
    for (std::size_t i = 0; i < m_connections.size(); ++i)
        m_connections[i]->Due(now);
    if (now - m_lastRateSample >= CLineRates::kStepMs) {
        m_lastRateSample = now;
        for (CServerConnection* c : m_connections) {
            if (c->IsLoggedIn())
                c->SampleRates(now);
        }
    }
    m_summary.Flush(now, [this](const QString& line) { Log(line); });
    if (now - m_lastPrune >= kPruneEveryMs) {
        m_lastPrune = now;
        m_acceptor->Limits().Prune(now);
        m_throttle.Prune(now);
        m_troubles.Prune(now);
    }
}

void CTunnelServer::Shutdown() {
    m_heartbeatDeadline.Stop();
    m_statsDeadline.Stop();
    m_tickTimer.stop();
    m_acceptor->Close();
    for (std::size_t i = 0; i < m_connections.size(); ++i)
        m_connections[i]->Close(QStringLiteral("server stopping"));
    m_summary.Flush(
        Now(), [this](const QString& line) { Log(line); }, true);
    Reap();
}

int CTunnelServer::ConnectionCount() const {
    return static_cast<int>(std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const auto* c) { return !c->IsClosed(); }));
}

int CTunnelServer::LoggedInCount() const {
    return static_cast<int>(std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const auto* c) { return c->IsLoggedIn(); }));
}

void CTunnelServer::CheckPassword(CServerConnection* connection, const QByteArray& login,
                                  const QByteArray& password, const CLoginThrottle::Turn& turn) {
    using Outcome = CPasswordChecks::Outcome;
    auto done = [this, who = QPointer<CServerConnection>(connection),
                 address = connection->Address(), login, turn](Outcome outcome) {
        if (outcome == Outcome::QueueFull) {
            m_counters.Count(RefusalReason::CheckQueueFull);
            m_troubles.Count(address, CRecentTroubles::Kind::Refused, Now());
            LogRepeated(
                QStringLiteral("log-ins refused with every password check taken"),
                AddressKeyText(address),
                QStringLiteral("log-in as \"%1\" from %2 refused: every password check "
                               "is taken; counted as a failure")
                    .arg(QuotedText(login, CServerSession::kMaxAnswer), AddressKeyText(address)));
        }
        const bool accepted = outcome == Outcome::Accepted;
        if (who && !who->IsClosed())
            who->PasswordChecked(accepted);
        else
            LoginDecided(address, login, turn, accepted);
    };
    if (m_options.allowAnyLogin)
        m_checks->Answer(Outcome::Accepted, std::move(done));
    else
        m_checks->Check(m_users.Find(login), password, m_users.HasHashes(), std::move(done));
}

CLoginThrottle::Turn CTunnelServer::PasswordTurn(const QByteArray& address,
                                                 const QByteArray& login) {
    const qint64 now = Now();
    const CLoginThrottle::Turn turn = m_throttle.Reserve(address, login, now);
    switch (turn.decision) {
    case CLoginThrottle::Decision::Now:
        break;
    case CLoginThrottle::Decision::Hold:
        m_counters.Count(turn.afterFailures ? PauseReason::AfterFailures
                                            : PauseReason::LoginBudget);
        m_troubles.Count(address, CRecentTroubles::Kind::Slowed, now);
        break;
    case CLoginThrottle::Decision::Paused:
        m_counters.Count(RefusalReason::LoginPaused);
        m_troubles.Count(address, CRecentTroubles::Kind::Refused, now);
        break;
    case CLoginThrottle::Decision::Busy:
        m_counters.Count(RefusalReason::LoginBusy);
        m_troubles.Count(address, CRecentTroubles::Kind::Refused, now);
        break;
    }
    if (turn.loginSlowed)
        LogRepeated(QStringLiteral("logins out of password checks"), AddressKeyText(address),
                    QStringLiteral("login \"%1\" has used up its password checks (failed log-ins "
                                   "from several addresses): addresses that have not logged in "
                                   "as it wait their turn, one a second")
                        .arg(QuotedText(login, CServerSession::kMaxAnswer)));
    return turn;
}

qint64 CTunnelServer::LoginDecided(const QByteArray& address, const QByteArray& login,
                                   const CLoginThrottle::Turn& turn, bool accepted) {
    const qint64 now = Now();
    if (accepted) {
        ++m_counters.loginsOk;
        m_acceptor->Limits().Trust(address, now);
    } else {
        ++m_counters.loginsFailed;
        m_troubles.Count(address, CRecentTroubles::Kind::FailedLogin, now);
    }
    const qint64 pause = m_throttle.Decided(address, login, turn, accepted, now);
    if (pause > 0) {
        m_troubles.Count(address, CRecentTroubles::Kind::Slowed, now);
        LogRepeated(QStringLiteral("log-in pauses started"), AddressKeyText(address),
                    QStringLiteral("log-ins as \"%1\" from %2 paused for %3 s after %4 failures; "
                                   "attempts meanwhile are closed at once")
                        .arg(QuotedText(login, CServerSession::kMaxAnswer), AddressKeyText(address))
                        .arg(pause / 1000)
                        .arg(m_throttle.Failures(address, login)));
    }
    return pause;
}

void CTunnelServer::TurnAbandoned(const QByteArray& address, const QByteArray& login,
                                  const CLoginThrottle::Turn& turn) {
    m_throttle.Abandoned(address, login, turn);
}

void CTunnelServer::LoggedIn(CServerConnection* connection) {
    m_acceptor->Limits().Left(connection->Address(), connection->Id());
    if (m_options.maxSessionsPerLogin > 0) {
        // The oldest go first: a client that lost its line comes back before the server
        // notices the old session is dead.
        std::vector<CServerConnection*> same;
        for (CServerConnection* c : m_connections) {
            if (c != connection && c->IsLoggedIn() &&
                c->Session().Login() == connection->Session().Login())
                same.push_back(c);
        }
        const auto excess =
            static_cast<qsizetype>(same.size()) - (m_options.maxSessionsPerLogin - 1);
        for (qsizetype i = 0; i < excess; ++i)
            same[static_cast<std::size_t>(i)]->Close(
                QStringLiteral("replaced by a newer session of the same login"));
    }
    emit connectionCountChanged();
}

void CTunnelServer::Relay(CServerConnection* from, std::string_view line) {
    ++m_linesRelayed;
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        CServerConnection* to = m_connections[i];
        if (to != from && to->IsLoggedIn()) {
            to->Send(line);
            ++m_linesDelivered;
        }
    }
    CutSlowestReaders();
}

void CTunnelServer::LineDropped(DropReason reason) {
    ++m_linesDropped;
    m_counters.Count(reason);
}

void CTunnelServer::Refused(const QByteArray& address, RefusalReason reason) {
    m_counters.Count(reason);
    if (!address.isEmpty())
        m_troubles.Count(address, CRecentTroubles::Kind::Refused, Now());
}

// Past the overall cap on output waiting for clients, the ones furthest behind go first.
void CTunnelServer::CutSlowestReaders() {
    if (m_pendingWriteTotal <= m_options.maxPendingWriteTotal)
        return;
    std::vector<CServerConnection*> waiting;
    for (CServerConnection* c : m_connections) {
        if (!c->IsClosed() && c->PendingWrite() > 0)
            waiting.push_back(c);
    }
    std::sort(waiting.begin(), waiting.end(),
              [](const auto* a, const auto* b) { return a->PendingWrite() > b->PendingWrite(); });
    const qint64 total = m_pendingWriteTotal;
    int cut = 0;
    for (CServerConnection* c : waiting) {
        if (m_pendingWriteTotal <= m_options.maxPendingWriteTotal)
            break;
        c->Close(
            QStringLiteral("among the slowest readers with %1 bytes waiting in all").arg(total));
        ++cut;
    }
    LogRepeated(QStringLiteral("cuts of the slowest readers"), QString(),
                QStringLiteral("output waiting for clients over %1 bytes: closed the %2 slowest "
                               "readers")
                    .arg(m_options.maxPendingWriteTotal)
                    .arg(cut));
}

void CTunnelServer::ConnectionClosed(CServerConnection* connection, bool wasAwaitingLogin) {
    if (wasAwaitingLogin)
        m_acceptor->Limits().Left(connection->Address(), connection->Id());
    // The connection may be on the call stack (a relay loop, its own socket's signal).
    if (!m_reapPending) {
        m_reapPending = true;
        QMetaObject::invokeMethod(this, &CTunnelServer::Reap, Qt::QueuedConnection);
    }
    emit connectionCountChanged();
}

void CTunnelServer::Log(const QString& text) const {
    if (m_logSink)
        m_logSink(text);
}

void CTunnelServer::LogRepeated(const QString& what, const QString& from, const QString& line) {
    if (m_summary.Count(what, from, Now()))
        Log(line);
}

void CTunnelServer::LogPerAddress(const QString& what, const QString& from, const QString& line) {
    if (m_summary.Count(what, from, Now(), CLogSummary::Shown::PerAddress))
        Log(line);
}

void CTunnelServer::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_tickTimer.timerId()) {
        Tick();
        return;
    }
    const qint64 now = Now();
    for (CClockDeadline* deadline : {&m_heartbeatDeadline, &m_statsDeadline}) {
        if (deadline->Owns(event)) {
            if (deadline->WokeUp(now, this))
                RunPeriods(now);
            break; // the timers may have been armed again, under a freed id
        }
    }
}

QString CTunnelServer::SummaryLine() {
    QString line =
        QStringLiteral("summary: %1 clients, %2 logged in, %3 awaiting log-in; lines in %4, out "
                       "%5, dropped %6 since the last summary; %7 bytes waiting for clients")
            .arg(ConnectionCount())
            .arg(LoggedInCount())
            .arg(AwaitingLoginCount())
            .arg(m_linesRelayed - m_summaryRelayed)
            .arg(m_linesDelivered - m_summaryDelivered)
            .arg(m_linesDropped - m_summaryDropped)
            .arg(m_pendingWriteTotal);
    m_summaryRelayed = m_linesRelayed;
    m_summaryDelivered = m_linesDelivered;
    m_summaryDropped = m_linesDropped;
    return line;
}

QStringList CTunnelServer::StatusLines() const {
    QStringList lines;
    lines << QStringLiteral("status: %1 clients, %2 logged in, %3 awaiting log-in; lines in %4, "
                            "out %5, dropped %6 since start; %7 bytes waiting for clients%8")
                 .arg(ConnectionCount())
                 .arg(LoggedInCount())
                 .arg(AwaitingLoginCount())
                 .arg(m_linesRelayed)
                 .arg(m_linesDelivered)
                 .arg(m_linesDropped)
                 .arg(m_pendingWriteTotal)
                 .arg(m_acceptor->IsPaused()
                          ? QStringLiteral("; not accepting (out of descriptors)")
                          : QString());
    for (const CServerConnection* c : m_connections) {
        if (c->IsClosed())
            continue;
        const QString peer = c->IsTls() ? c->Peer() + QStringLiteral(" (TLS)") : c->Peer();
        if (!c->IsLoggedIn()) {
            lines << QStringLiteral("client %1: awaiting log-in").arg(peer);
            continue;
        }
        lines << QStringLiteral("client %1: \"%2\" logged in since %3, lines in %4, out %5, "
                                "%6 bytes waiting")
                     .arg(peer, QuotedText(c->Session().Login(), CServerSession::kMaxAnswer),
                          LogTimestamp(c->LoggedInAt()))
                     .arg(c->LinesIn())
                     .arg(c->LinesOut())
                     .arg(c->PendingWrite());
    }
    return lines;
}

ServerSnapshot CTunnelServer::Snapshot(int maxRows) const {
    ServerSnapshot s;
    s.version = QLatin1String(kKavlinkVersion);
    s.upSince = m_startedAt;
    s.takenAt = QDateTime::currentDateTime();
    if (m_options.listenAddress != QHostAddress::Any)
        s.listenAddress = m_options.listenAddress.toString();
    s.port = Port();
    s.tlsPort = TlsPort();
    s.acceptPaused = IsAcceptPaused();
    s.loggedIn = LoggedInCount();
    s.pending = AwaitingLoginCount();
    s.linesReceived = m_linesRelayed;
    s.linesSent = m_linesDelivered;
    s.counters = m_counters;
    s.bytesWaiting = m_pendingWriteTotal;
    const qint64 now = Now();
    for (const bool loggedIn : {true, false}) {
        for (const CServerConnection* c : m_connections) {
            if (c->IsClosed() || c->IsLoggedIn() != loggedIn)
                continue;
            if (static_cast<int>(s.connections.size()) >= maxRows) {
                ++s.connectionsNotShown;
                continue;
            }
            ServerSnapshot::Connection row;
            row.peer = c->Peer();
            row.tls = c->IsTls();
            row.bytesWaiting = c->PendingWrite();
            if (loggedIn) {
                const CLineRates::Lines lastMinute = c->LinesLastMinute(now);
                row.loggedIn = true;
                row.login = c->Session().Login();
                row.loggedInSince = c->LoggedInAt();
                row.linesIn = c->LinesIn();
                row.linesOut = c->LinesOut();
                row.linesInLastMinute = lastMinute.in;
                row.linesOutLastMinute = lastMinute.out;
            }
            s.connections.push_back(row);
        }
    }
    if (maxRows > 0) {
        for (const CRecentTroubles::Entry& e : m_troubles.Recent(now, maxRows, &s.troublesNotShown))
            s.troubles.push_back({e.address.isEmpty() ? QString() : AddressKeyText(e.address),
                                  e.counts.byKind[0], e.counts.byKind[1], e.counts.byKind[2],
                                  e.counts.byKind[3]});
    }
    return s;
}

void CTunnelServer::Admitted(int fd, quint64 id, const QByteArray& address, bool tls) {
    QTcpSocket* socket = tls ? new QSslSocket : new QTcpSocket;
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        m_acceptor->Limits().Left(address, id);
        return;
    }
    // The pair loaded now: a reload later changes nothing for this connection.
    if (tls)
        static_cast<QSslSocket*>(socket)->setSslConfiguration(m_tls.Configuration());
    auto* connection = new CServerConnection(*this, socket, id, address, this);
    m_connections.push_back(connection);
    m_byId.insert(id, connection);
    connection->Start();
    emit connectionCountChanged();
}

bool CTunnelServer::MakeRoom(const CConnectionLimits::Victim& victim) {
    CServerConnection* c = m_byId.value(victim.id);
    if (c == nullptr || !c->CountsAsAwaitingLogin())
        return false;
    m_counters.Count(victim.forTrusted ? EvictionReason::LoggedInBefore
                                       : EvictionReason::NewAddress);
    m_troubles.Count(victim.address, CRecentTroubles::Kind::Evicted, Now());
    c->Close(victim.forTrusted ? QStringLiteral("made room for an address that logged in before")
                               : QStringLiteral("made room for another address"));
    return true;
}

void CTunnelServer::QueueRead(CServerConnection* connection) {
    m_readQueue.push_back(connection);
    if (!m_readsPending) {
        m_readsPending = true;
        QMetaObject::invokeMethod(this, &CTunnelServer::ServeReads, Qt::QueuedConnection);
    }
}

// One slice for each client with input waiting, then the loop's other events, then again.
void CTunnelServer::ServeReads() {
    m_readsPending = false;
    std::vector<CServerConnection*> round;
    round.swap(m_readQueue);
    for (CServerConnection* c : round)
        c->ReadSlice();
}

void CTunnelServer::Reap() {
    m_reapPending = false;
    // Connections waiting to be read are not yet deleted; a closed one reads nothing.
    std::erase_if(m_readQueue, [](const auto* c) { return c->IsClosed(); });
    const auto closed = std::stable_partition(m_connections.begin(), m_connections.end(),
                                              [](const auto* c) { return !c->IsClosed(); });
    for (auto it = closed; it != m_connections.end(); ++it) {
        m_byId.remove((*it)->Id());
        (*it)->deleteLater();
    }
    m_connections.erase(closed, m_connections.end());
}
