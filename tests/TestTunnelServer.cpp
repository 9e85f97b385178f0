#include "CTunnelServer.h"
#include "CUserTable.h"
#include "Orvane.h"
#include "ServerLogIn.h"
#include "TestKit.h"
#include "TunnelLine.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <QDir>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace {
// A tunnel line with a checksum that fits bytes EncodeTunnelLine would never produce.
QByteArray RawLine(const QByteArray& bytes) {
    const auto sum = TunnelChecksum(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return bytes + static_cast<char>(sum);
}

template <typename Predicate> bool WaitFor(Predicate predicate) {
    return QTest::qWaitFor(predicate, 10000);
}

const QByteArray kLongLogin(255, 'L');
// "pw" with 1 000 rounds.
const QByteArray
    kHash("$5$rounds=1000$rEk8mHciMg1Qyx7u$KKis4o.rEhGson4.RBoURU9wvLKYDJu5wRzAMNAPlD5");

// A scripted client on loopback that records what it receives, chunk by chunk. A client
// made with a small read buffer and no reader stands for one that stopped reading.
struct Client {
    QTcpSocket socket;
    QList<QByteArray> chunks;
    QByteArray data;

    explicit Client(quint16 port, bool reads = true, const char* source = nullptr) {
        if (source)
            socket.bind(QHostAddress(QString::fromLatin1(source)));
        if (reads) {
            QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
                chunks.append(socket.readAll());
                data += chunks.last();
            });
        } else {
            socket.setReadBufferSize(1);
        }
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void Write(const QByteArray& bytes) { socket.write(bytes); }
    bool Closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};
} // namespace

class TestTunnelServer : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CTunnelServer> m_server;
    QStringList m_log;
    QTemporaryDir m_dir;

    ServerOptions TestOptions() const {
        ServerOptions options;
        options.listenAddress = QHostAddress::LocalHost;
        options.port = 0;
        options.usersFile = m_dir.filePath("users");
        options.heartbeatMs = 0;
        options.tickMs = 0;
        options.inputLinesPerSecond = 0; // bursts here are far beyond it; one test sets it
        return options;
    }

    void WriteUsers(const QByteArray& content, const QString& name = "users") {
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    // Every time-out, pause and period runs on m_now (milliseconds); Tick() applies them.
    qint64 m_now = 1000000;

    bool Start(const ServerOptions& options, bool realClock = false) {
        m_log.clear();
        m_server = std::make_unique<CTunnelServer>(options);
        m_server->SetLogSink([this](const QString& line) { m_log.append(line); });
        if (!realClock)
            m_server->SetClock([this] { return m_now * 1000000; });
        QString error;
        return m_server->LoadUsers(&error) && m_server->Listen(&error);
    }
    bool Start() { return Start(TestOptions()); }

    // Starts kavlink-server on a free loopback port and returns the port (0 on failure).
    static quint16 StartBinary(QProcess& process, const QStringList& arguments, QByteArray& err) {
        return StartServerBinary(process, KAVLINK_SERVER_BINARY,
                                 arguments + QStringList{"--port", "0"}, err)
            .value_or(0);
    }

    // Waits until the binary's standard error, gathered in err, holds text.
    static bool StderrSays(QProcess& process, QByteArray& err, const QByteArray& text) {
        return WaitFor([&] {
            err += process.readAllStandardError();
            return err.contains(text);
        });
    }

    bool LogHas(const QString& text) const { return m_log.filter(text).size() > 0; }

    // Moves the clock to just before a moment delayMs away, where nothing may have happened
    // yet, and then onto it.
    void TickBefore(qint64 delayMs) {
        m_now += delayMs - 1;
        m_server->Tick();
    }
    void TickOnto() {
        m_now += 1;
        m_server->Tick();
    }

    // The whole exchange as a well-behaved client does it.
    bool LogIn(Client& client, const QByteArray& login = "alice",
               const QByteArray& password = "secret") {
        return ServerLogIn(
            client, login, password, [](auto predicate) { return WaitFor(predicate); },
            [this] { return m_server->LoggedInCount(); });
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        WriteUsers("# test users\nalice:secret\nbob:hunter 2\n" + kLongLogin + ":long\n");
    }
    void cleanup() { m_server.reset(); }

    void logIn_data() {
        QTest::addColumn<QByteArray>("loginAnswer");
        QTest::addColumn<QByteArray>("passwordAnswer"); // empty: sent with the login
        QTest::addColumn<bool>("accepted");
        QTest::newRow("good") << QByteArray("alice\n") << QByteArray("secret\n") << true;
        QTest::newRow("CR LF") << QByteArray("alice\r\n") << QByteArray("secret\r\n") << true;
        QTest::newRow("password with a blank")
            << QByteArray("bob\n") << QByteArray("hunter 2\n") << true;
        QTest::newRow("longest login") << kLongLogin + '\n' << QByteArray("long\n") << true;
        QTest::newRow("both answers at once")
            << QByteArray("alice\nsecret\n") << QByteArray() << true;
        QTest::newRow("wrong password") << QByteArray("alice\n") << QByteArray("secreT\n") << false;
        QTest::newRow("another's password")
            << QByteArray("alice\n") << QByteArray("hunter 2\n") << false;
        QTest::newRow("unknown login")
            << QByteArray("mallory\n") << QByteArray("secret\n") << false;
        QTest::newRow("blank after password")
            << QByteArray("alice\n") << QByteArray("secret \n") << false;
    }
    // Each prompt is a chunk of its own, and an unknown login still gets the second prompt.
    void logIn() {
        QFETCH(QByteArray, loginAnswer);
        QFETCH(QByteArray, passwordAnswer);
        QFETCH(bool, accepted);
        QVERIFY(Start());
        Client client(m_server->Port());
        QVERIFY(WaitFor([&] { return client.data == "login:"; }));
        QCOMPARE(client.chunks, QList<QByteArray>{"login:"});
        client.Write(loginAnswer);
        QVERIFY(WaitFor([&] { return client.data == "login:password:"; }));
        QCOMPARE(client.chunks, (QList<QByteArray>{"login:", "password:"}));
        if (!passwordAnswer.isEmpty())
            client.Write(passwordAnswer);
        if (accepted) {
            QVERIFY(WaitFor([&] { return m_server->LoggedInCount() == 1; }));
        } else {
            QVERIFY(WaitFor([&] { return LogHas("log-in failed"); }));
            TickBefore(TestOptions().refuseDelayMs);
            QCOMPARE(m_server->ConnectionCount(), 1);
            TickOnto();
            QCOMPARE(m_server->ConnectionCount(), 0);
            QVERIFY(WaitFor([&] { return client.Closed(); }));
            QVERIFY(LogHas("log-in refused"));
        }
        QCOMPARE(client.data, QByteArray("login:password:"));
        QCOMPARE(m_log.filter("secret").size() + m_log.filter("hunter").size(), 0);
    }

    void closesBrokenExchange_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("prompts"); // what the client has had at the end
        QTest::addColumn<QString>("cause");
        QTest::newRow("never answers")
            << QByteArray() << QByteArray("login:") << "no answer in time";
        QTest::newRow("no password")
            << QByteArray("alice\n") << QByteArray("login:password:") << "no answer in time";
        QTest::newRow("login of 256 bytes")
            << QByteArray(256, 'a') << QByteArray("login:") << "answer too long";
        QTest::newRow("login of 256 bytes with LF") << QByteArray(256, 'a') + '\n'
                                                    << QByteArray("login:") << "answer too long";
        QTest::newRow("password of 256 bytes")
            << "alice\n" + QByteArray(256, 'p') << QByteArray("login:password:")
            << "answer too long";
    }
    // A time-out counts from the prompt it answers.
    void closesBrokenExchange() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, prompts);
        QFETCH(QString, cause);
        QVERIFY(Start());
        Client client(m_server->Port());
        QVERIFY(WaitFor([&] { return client.data == "login:"; }));
        client.Write(bytes);
        if (cause == "no answer in time") {
            QVERIFY(WaitFor([&] { return client.data == prompts; }));
            TickBefore(TestOptions().answerTimeoutMs);
            QCOMPARE(m_server->ConnectionCount(), 1);
            TickOnto();
            QCOMPARE(m_server->ConnectionCount(), 0);
        }
        QVERIFY(WaitFor([&] { return client.Closed(); }));
        QCOMPARE(client.data, prompts);
        QVERIFY2(LogHas(cause), qPrintable(m_log.join('\n')));
        QCOMPARE(m_server->AwaitingLoginCount(), 0);
    }

    void relaysToOthersOnly_data() {
        QTest::addColumn<int>("chunkSize"); // 0: one write
        QTest::newRow("one write") << 0;
        QTest::newRow("byte by byte") << 1;
        QTest::newRow("chunks of 7") << 7;
    }
    // Bad lines are dropped without harming the good ones around them; nothing bounces.
    void relaysToOthersOnly() {
        QFETCH(int, chunkSize);
        QVERIFY(Start());
        Client a(m_server->Port()), b(m_server->Port()), c(m_server->Port());
        QVERIFY(LogIn(a));
        QVERIFY(LogIn(b));
        QVERIFY(LogIn(c));
        const QByteArray good1 = Line("HELLO: \"A\" \"\" caf\xE9");
        const QByteArray longest = Line("X: \"A\" \"\" " + QByteArray(1012, 'x'));
        const QByteArray notHeartbeat = Line("HEARTBEATS: \"~\" \"\" ");
        const QByteArray good2 = Line("ADDQSO: \"A\" \"\" 1");
        QCOMPARE(longest.size(), 1023);
        QByteArray badChecksum = good1;
        badChecksum.back() = static_cast<char>(badChecksum.back() ^ 1);
        const QByteArray stream = good1 + badChecksum + Line("X: " + QByteArray(1020, 'x')) +
                                  longest + RawLine(QByteArray("NUL: \"A\" \0 x", 12)) +
                                  Line("HEARTBEAT: \"~\" \"\" ") + notHeartbeat + good2;
        const qsizetype step = chunkSize == 0 ? stream.size() : chunkSize;
        for (qsizetype i = 0; i < stream.size(); i += step) {
            a.Write(stream.mid(i, step));
            a.socket.flush();
        }
        const QByteArray expected = good1 + longest + notHeartbeat + good2;
        QVERIFY(WaitFor([&] { return b.data.size() >= expected.size(); }));
        QVERIFY(WaitFor([&] { return c.data.size() >= expected.size(); }));
        QCOMPARE(b.data.mid(15), expected);
        QCOMPARE(c.data.mid(15), expected);

        // An echo of a sender's line would reach it before the next line from elsewhere.
        const QByteArray fromB = Line("HELLO: \"B\" \"\" ");
        b.Write(fromB);
        QVERIFY(WaitFor([&] { return a.data.size() > 15; }));
        const QByteArray fromA = Line("HELLO: \"A\" \"\" again");
        a.Write(fromA);
        QVERIFY(WaitFor([&] { return b.data.size() >= 15 + expected.size() + fromA.size(); }));
        QCOMPARE(a.data.mid(15), fromB);
        QCOMPARE(b.data.mid(15), expected + fromA);
        QVERIFY(WaitFor(
            [&] { return c.data.size() >= 15 + expected.size() + fromB.size() + fromA.size(); }));
        QCOMPARE(c.data.mid(15), expected + fromB + fromA);
        // Each dropped line under its reason, whatever the chunking; the checksum of the line
        // with a NUL is taken up to the NUL.
        const ServerSnapshot status = m_server->Snapshot(0);
        QCOMPARE(status.counters.dropped, (std::array<std::uint64_t, 4>{2, 0, 0, 1}));
        QCOMPARE(status.linesReceived, std::uint64_t(6));
    }

    // The status names every client with its login and counts; the summary counts lines since
    // the summary before it.
    void statusAndSummary() {
        QVERIFY(Start());
        Client a(m_server->Port()), b(m_server->Port()), waiting(m_server->Port());
        QVERIFY(LogIn(a));
        QVERIFY(LogIn(b, "bob", "hunter 2"));
        QVERIFY(WaitFor([&] { return waiting.data == "login:"; }));
        const QByteArray line = Line("ADDQSO: \"A\" \"\" 1");
        a.Write(line + line);
        QVERIFY(WaitFor([&] { return b.data.size() >= 15 + 2 * line.size(); }));
        const QStringList status = m_server->StatusLines();
        QCOMPARE(status.size(), 4);
        QVERIFY2(status[0].startsWith("status: 3 clients, 2 logged in, 1 awaiting log-in; lines "
                                      "in 2, out 2, dropped 0 since start"),
                 qPrintable(status[0]));
        const QStringList alice = status.filter("\"alice\"");
        QCOMPARE(alice.size(), 1);
        QVERIFY2(alice[0].contains("lines in 2, out 0, 0 bytes waiting"), qPrintable(alice[0]));
        const QStringList bob = status.filter("\"bob\"");
        QCOMPARE(bob.size(), 1);
        QVERIFY2(bob[0].contains("lines in 0, out 2"), qPrintable(bob[0]));
        QCOMPARE(status.filter("awaiting log-in").size(), 2); // the summary and the client
        QVERIFY(!status.join('\n').contains("secret"));
        QVERIFY2(
            m_server->SummaryLine().contains("lines in 2, out 2, dropped 0 since the last summary"),
            qPrintable(m_server->SummaryLine()));
        QVERIFY(m_server->SummaryLine().contains(
            "lines in 0, out 0, dropped 0 since the last summary"));
    }

    void linesRightBehindThePasswordAreRelayed() {
        QVERIFY(Start());
        Client a(m_server->Port()), b(m_server->Port());
        QVERIFY(LogIn(b));
        QVERIFY(WaitFor([&] { return a.data == "login:"; }));
        const QByteArray line = Line("HELLO: \"A\" \"\" ");
        a.Write("alice\nsecret\n" + line);
        QVERIFY(WaitFor([&] { return b.data.size() >= 15 + line.size(); }));
        QCOMPARE(b.data.mid(15), line);
    }

    // A hash is checked on a worker: logged-in sites relay meanwhile. A client that leaves
    // before its answer still counts as a failed attempt, and lines right behind a good
    // password wait in the socket for the answer, then pass.
    void passwordCheckedOffTheRelay() {
        WriteUsers("alice:secret\nbob:hunter 2\nerin:" + kHash + "\n", "users-hashed");
        ServerOptions options = TestOptions();
        options.usersFile = m_dir.filePath("users-hashed");
        QVERIFY(Start(options));
        QSemaphore gate;
        std::atomic<int> calls = 0;
        m_server->PasswordChecks().SetMatcher(
            [&](const QByteArray& expected, const QByteArray& password) {
                ++calls;
                gate.acquire();
                return PasswordMatches(expected, password);
            });
        Client a(m_server->Port()), b(m_server->Port());
        QVERIFY(LogIn(a));
        QVERIFY(LogIn(b, "bob", "hunter 2"));
        QCOMPARE(calls.load(), 0); // plain passwords need no worker

        Client guesser(m_server->Port(), true, "127.0.0.2");
        QVERIFY(WaitFor([&] { return guesser.data == "login:"; }));
        guesser.Write("erin\nwrong\n");
        QVERIFY(WaitFor([&] { return calls == 1; }));
        Client site(m_server->Port(), true, "127.0.0.3");
        QVERIFY(WaitFor([&] { return site.data == "login:"; }));
        const QByteArray fromSite = Line("HELLO: \"E\" \"\" ");
        site.Write("erin\npw\n" + fromSite);
        const QByteArray line = Line("ADDQSO: \"A\" \"\" 1");
        a.Write(line);
        QVERIFY(WaitFor([&] { return b.data.endsWith(line); }));

        guesser.socket.abort();
        QVERIFY(WaitFor([&] { return m_server->ConnectionCount() == 3; }));
        gate.release(2); // whether the site's check was queued or ran beside
        QVERIFY(WaitFor([&] { return m_server->Snapshot(10).counters.loginsFailed == 1; }));
        QVERIFY(WaitFor([&] { return m_server->LoggedInCount() == 3; }));
        QVERIFY(WaitFor([&] { return b.data.endsWith(fromSite); }));
        QCOMPARE(calls.load(), 2);
        const ServerSnapshot status = m_server->Snapshot(10);
        QCOMPARE(status.troubles.size(), std::size_t(1));
        QCOMPARE(status.troubles.front().address, "127.0.0.2");
        QCOMPARE(status.troubles.front().failedLogins, std::uint64_t(1));
    }

    // Heartbeats reach logged-in clients at the period, and nobody still logging in; summary
    // lines come at theirs.
    void heartbeatsAndSummariesAtTheirPeriods() {
        ServerOptions options = TestOptions();
        options.heartbeatMs = 15000;
        options.statsIntervalMs = 2 * options.heartbeatMs;
        QVERIFY(Start(options));
        Client client(m_server->Port()), pending(m_server->Port());
        QVERIFY(LogIn(client));
        QVERIFY(WaitFor([&] { return pending.data == "login:"; }));
        const QByteArray heartbeat = Line("HEARTBEAT: \"~server\" \"\" ");
        const auto sent = [&] {
            const QStringList alice = m_server->StatusLines().filter("\"alice\"");
            const QRegularExpression out("out (\\d+),");
            return alice.size() == 1 ? out.match(alice[0]).captured(1).toInt() : -1;
        };
        for (int i = 1; i <= 3; ++i) {
            TickBefore(options.heartbeatMs);
            QCOMPARE(sent(), i - 1);
            TickOnto();
            QCOMPARE(sent(), i);
            QCOMPARE(m_log.filter("summary:").size(), i / 2);
        }
        QVERIFY(WaitFor([&] { return client.data.size() >= 15 + 3 * heartbeat.size(); }));
        QCOMPARE(client.data.mid(15), heartbeat + heartbeat + heartbeat);
        QCOMPARE(pending.data, QByteArray("login:"));
    }

    // On the real clock the timers wake the loop for what is due, with nobody calling Tick().
    void timersWakeTheLoopOnTheRealClock() {
        ServerOptions options = TestOptions();
        options.heartbeatMs = 50;
        options.answerTimeoutMs = 400; // far beyond a log-in on loopback, even under a sanitizer
        QVERIFY(Start(options, true));
        Client client(m_server->Port()), silent(m_server->Port());
        QVERIFY(LogIn(client));
        const QByteArray heartbeat = Line("HEARTBEAT: \"~server\" \"\" ");
        QVERIFY(WaitFor([&] { return client.data.size() >= 15 + 2 * heartbeat.size(); }));
        QVERIFY(WaitFor([&] { return silent.Closed(); }));
        QVERIFY(LogHas("no answer in time"));
    }

    void clientThatStopsReadingIsDropped() {
        QVERIFY(Start());
        Client a(m_server->Port()), b(m_server->Port()), stuck(m_server->Port(), false);
        QVERIFY(LogIn(a));
        QVERIFY(LogIn(b));
        // It never reads, so it answers both prompts at once.
        QVERIFY(WaitFor([&] { return m_server->AwaitingLoginCount() == 1; }));
        stuck.Write("alice\nsecret\n");
        QVERIFY(WaitFor([&] { return m_server->LoggedInCount() == 3; }));

        // Bursts above the limit: only the client that does not read may be dropped.
        const QByteArray line = Line("ADDQSO: \"A\" \"\" " + QByteArray(980, 'q'));
        const QByteArray burst = line.repeated(2000);
        qsizetype sent = 0;
        for (int round = 0; round < 20 && m_server->LoggedInCount() == 3; ++round) {
            a.Write(burst);
            sent += burst.size();
            QVERIFY(WaitFor([&] { return b.data.size() == 15 + sent || b.Closed(); }));
            QVERIFY2(!b.Closed(), qPrintable(m_log.join('\n')));
        }
        QCOMPARE(m_server->LoggedInCount(), 2);
        QVERIFY(LogHas("not reading"));
        a.Write(line);
        QVERIFY(WaitFor([&] { return b.data.size() == 15 + sent + line.size(); }));
    }

    // With the cap reached, a newcomer takes the place of the oldest connection of the address
    // holding the most; an address that already holds as many as anyone is refused instead.
    void fullServerMakesRoomForANewAddress() {
        ServerOptions options = TestOptions();
        options.maxAwaitingLogin = 2;
        QVERIFY(Start(options));
        Client first(m_server->Port(), true, "127.0.0.2"),
            second(m_server->Port(), true, "127.0.0.2");
        QVERIFY(WaitFor([&] { return m_server->AwaitingLoginCount() == 2; }));
        Client newcomer(m_server->Port(), true, "127.0.0.3");
        QVERIFY(LogIn(newcomer));
        QVERIFY(first.Closed());
        QVERIFY(!second.Closed());
        QVERIFY(LogHas("made room for another address"));
        const ServerSnapshot storm = m_server->Snapshot(10);
        QCOMPARE(storm.counters.evicted[std::size_t(EvictionReason::NewAddress)], std::uint64_t(1));
        QCOMPARE(storm.troubles.size(), std::size_t(1));
        QCOMPARE(storm.troubles.front().address, "127.0.0.2");
        QCOMPARE(storm.troubles.front().evicted, std::uint64_t(1));
        Client other(m_server->Port(), true, "127.0.0.4");
        QVERIFY(WaitFor([&] { return other.data == "login:"; }));
        Client third(m_server->Port(), true, "127.0.0.4"); // as many as .2 now: refused
        QVERIFY(WaitFor([&] { return third.Closed(); }));
        QCOMPARE(third.data, QByteArray());
        QVERIFY(!second.Closed() && !other.Closed());
    }

    // One address holding its share of silent connections keeps no one else out.
    void perAddressCapLeavesAnotherAddressFree() {
        ServerOptions options = TestOptions();
        options.maxAwaitingPerAddress = 2;
        QVERIFY(Start(options));
        Client first(m_server->Port(), true, "127.0.0.2"),
            second(m_server->Port(), true, "127.0.0.2");
        QVERIFY(WaitFor([&] { return m_server->AwaitingLoginCount() == 2; }));
        Client third(m_server->Port(), true, "127.0.0.2");
        QVERIFY(WaitFor([&] { return third.Closed(); }));
        QCOMPARE(third.data, QByteArray());
        QVERIFY(LogHas("too many connections awaiting log-in from this address"));
        Client other(m_server->Port(), true, "127.0.0.3");
        QVERIFY(LogIn(other));
        const ServerSnapshot status = m_server->Snapshot(10);
        QCOMPARE(status.counters.refused[std::size_t(RefusalReason::AddressFull)],
                 std::uint64_t(1));
        QCOMPARE(status.troubles.size(), std::size_t(1));
        QCOMPARE(status.troubles.front().address, "127.0.0.2");
        QCOMPARE(status.troubles.front().refused, std::uint64_t(1));
    }

    // Failures pause that login from that address: an attempt early in the pause is closed
    // after its login, one late in it is held to its end, and the right password then gets in.
    // Another login from the same address is never slowed.
    void failedLogInsPauseThatLoginOnly() {
        ServerOptions options = TestOptions();
        options.refuseDelayMs = 0; // refusals close at once: the clock is the throttle's
        QVERIFY(Start(options));
        const auto attempt = [&](const QByteArray& answers) {
            auto client = std::make_unique<Client>(m_server->Port(), true, "127.0.0.2");
            if (WaitFor([&] { return client->data == "login:"; }))
                client->Write(answers);
            return client;
        };
        // 2, 4 and 8 s: the fourth failure's 16 s pause is the first that closes attempts.
        qint64 pause = 2000;
        for (int failure = 1; failure <= 4; ++failure, pause *= 2) {
            auto guess = attempt("alice\nwrong\n");
            QVERIFY(WaitFor([&] { return guess->Closed(); }));
            QCOMPARE(guess->data, QByteArray("login:password:"));
            if (failure < 4)
                m_now += pause;
        }
        QVERIFY2(LogHas("log-ins as \"alice\" from 127.0.0.2 paused for 16 s after 4 failures"),
                 qPrintable(m_log.join('\n')));

        auto early = attempt("alice\nsecret\n");
        QVERIFY(WaitFor([&] { return early->Closed(); }));
        QCOMPARE(early->data, QByteArray("login:"));
        auto neighbour = attempt("bob\nhunter 2\n");
        QVERIFY(WaitFor([&] { return m_server->LoggedInCount() == 1; }));

        m_now += 16000 - 5000; // within a hold of the pause's end
        auto fixed = attempt("alice\nsecret\n");
        // A log-in from elsewhere: by its end the server has had fixed's answer.
        Client elsewhere(m_server->Port(), true, "127.0.0.3");
        QVERIFY(LogIn(elsewhere, "bob", "hunter 2"));
        auto second = attempt("alice\nsecret\n"); // one attempt at a time while failing
        QVERIFY(WaitFor([&] { return second->Closed(); }));
        QCOMPARE(fixed->data, QByteArray("login:"));
        TickBefore(5000);
        QCOMPARE(fixed->data, QByteArray("login:"));
        TickOnto();
        QVERIFY(WaitFor([&] { return m_server->LoggedInCount() == 3; }));
        QVERIFY(WaitFor([&] { return fixed->data == "login:password:"; }));

        // The status page's counts: the guessing address alone is listed.
        const ServerSnapshot status = m_server->Snapshot(10);
        QCOMPARE(status.counters.loginsFailed, std::uint64_t(4));
        QCOMPARE(status.counters.loginsOk, std::uint64_t(3));
        QVERIFY(status.counters.refused[std::size_t(RefusalReason::LoginPaused)] >= 1);
        QCOMPARE(status.counters.paused[std::size_t(PauseReason::AfterFailures)], std::uint64_t(1));
        QCOMPARE(status.counters.paused[std::size_t(PauseReason::LoginBudget)], std::uint64_t(0));
        QCOMPARE(status.troubles.size(), std::size_t(1));
        const ServerSnapshot::Trouble& guesser = status.troubles.front();
        QCOMPARE(guesser.address, "127.0.0.2");
        QCOMPARE(guesser.failedLogins, std::uint64_t(4));
        QVERIFY(guesser.refused >= 1 && guesser.slowed >= 1);
    }

    // Connections that send a login of 255 control bytes and never answer the password
    // prompt, round after round from a few addresses for three minutes (a round lasts 10 s,
    // and uses up the login's password checks each time): each kind of line the churn brings
    // is logged a few times a minute and then summed.
    void churnBeforeThePasswordIsSummed() {
        ServerOptions options = TestOptions();
        options.answerTimeoutMs = 2000;
        options.connectsPerMinute = 1000;
        QVERIFY(Start(options));
        const QByteArray login(255, '\x01');
        m_log.clear();
        QList<int> perMinute;
        for (int minute = 0; minute < 3; ++minute) {
            const qsizetype before = m_log.size();
            for (int round = 0; round < 6; ++round) {
                std::vector<std::unique_ptr<Client>> clients;
                for (int i = 0; i < 16; ++i) {
                    const QByteArray source = "127.0.0." + QByteArray::number(2 + i % 4);
                    clients.push_back(
                        std::make_unique<Client>(m_server->Port(), true, source.constData()));
                }
                const auto held = [&] {
                    return m_server->Snapshot(0)
                        .counters.paused[std::size_t(PauseReason::LoginBudget)];
                };
                const std::uint64_t heldBefore = held();
                for (auto& c : clients) {
                    QVERIFY(WaitFor([&] { return c->data == "login:" || c->Closed(); }));
                    c->Write(login + '\n');
                }
                // Each prompted, closed, or held for the login's budget.
                QVERIFY(WaitFor([&] {
                    const auto answered =
                        std::count_if(clients.begin(), clients.end(), [](auto& c) {
                            return c->data.endsWith("password:") || c->Closed();
                        });
                    return std::uint64_t(answered) + held() - heldBefore == clients.size();
                }));
                // Time out, and the held ones after their prompt.
                for (int step = 0; step < 5; ++step) {
                    m_now += options.answerTimeoutMs;
                    m_server->Tick();
                }
                for (auto& c : clients)
                    QVERIFY(WaitFor([&] { return c->Closed(); }));
            }
            m_now += 1;
            m_server->Tick(); // the window's summaries
            perMinute.append(static_cast<int>(m_log.size() - before));
            const QStringList minuteLines = m_log.mid(before);
            QVERIFY2(minuteLines.filter("password checks").size() <= 4,
                     qPrintable(minuteLines.join('\n')));
        }
        for (const int lines : perMinute)
            QVERIFY2(lines <= 12, qPrintable(m_log.join('\n')));
    }

    // A site that logs in and out in a loop gets three lines a minute of each kind, the rest
    // summed; another login from the same address keeps its own.
    void reconnectLoopIsSummed() {
        QVERIFY(Start());
        for (int i = 0; i < 5; ++i) {
            auto site = std::make_unique<Client>(m_server->Port(), true, "127.0.0.2");
            QVERIFY(LogIn(*site));
            site->socket.abort();
            QVERIFY(WaitFor([&] { return m_server->ConnectionCount() == 0; }));
        }
        Client neighbour(m_server->Port(), true, "127.0.0.2");
        QVERIFY(LogIn(neighbour, "bob", "hunter 2"));
        QCOMPARE(m_log.filter("logged in as \"alice\"").size(), 3);
        QCOMPARE(m_log.filter("disconnected (closed by peer): relayed").size(), 3);
        QCOMPARE(m_log.filter("logged in as \"bob\"").size(), 1);
        m_now += TestOptions().summaryWindowMs;
        m_server->Tick();
        QVERIFY2(LogHas("6 log-ins from 2 addresses in the last 60 s; most from 127.0.0.2 as "
                        "\"alice\" (5), 127.0.0.2 as \"bob\" (1)"),
                 qPrintable(m_log.join('\n')));
    }

    // A login cannot forge a log line: its quotes are shown escaped.
    void loginCannotForgeALogLine() {
        QVERIFY(Start());
        Client client(m_server->Port());
        QVERIFY(WaitFor([&] { return client.data == "login:"; }));
        client.Write("x\" logged in as \"admin\nwrong\n");
        QVERIFY(WaitFor([&] { return LogHas("log-in failed"); }));
        QVERIFY2(!LogHas("logged in as \"admin\""), qPrintable(m_log.join('\n')));
        QVERIFY(LogHas("log-in failed for \"x\\x22 logged in as \\x22admin\""));
    }

    void sessionsPerLogin() {
        ServerOptions options = TestOptions();
        options.maxSessionsPerLogin = 1;
        QVERIFY(Start(options));
        Client old(m_server->Port()), bob(m_server->Port());
        QVERIFY(LogIn(old));
        QVERIFY(LogIn(bob, "bob", "hunter 2"));
        Client renewed(m_server->Port());
        QVERIFY(WaitFor([&] { return renewed.data == "login:"; }));
        renewed.Write("alice\nsecret\n");
        QVERIFY(WaitFor([&] { return old.Closed(); }));
        QVERIFY(LogHas("replaced by a newer session"));
        QCOMPARE(m_server->LoggedInCount(), 2);
        QVERIFY(!bob.Closed() && !renewed.Closed());
    }

    // Past the overall cap the client furthest behind goes first; one that reads stays.
    void overallOutputCapCutsTheSlowestFirst() {
        ServerOptions options = TestOptions();
        options.maxPendingWrite = qint64(1) << 30;
        options.maxPendingWriteTotal = qint64(256) * 1024;
        QVERIFY(Start(options));
        Client a(m_server->Port()), b(m_server->Port());
        QVERIFY(LogIn(a));
        QVERIFY(LogIn(b));
        Client first(m_server->Port(), false);
        QVERIFY(WaitFor([&] { return m_server->AwaitingLoginCount() == 1; }));
        first.Write("alice\nsecret\n");
        QVERIFY(WaitFor([&] { return m_server->LoggedInCount() == 3; }));
        const QByteArray line = Line("ADDQSO: \"A\" \"\" " + QByteArray(980, 'q'));
        const QByteArray burst = line.repeated(1000);
        qsizetype sent = 0;
        // first falls behind alone until the server holds some output for it, in steps well
        // below the cap: one step past the cap would cut first before the others join.
        const QByteArray step = line.repeated(64);
        for (int round = 0; round < 1000 && m_server->PendingWriteTotal() == 0; ++round) {
            a.Write(step);
            sent += step.size();
            QVERIFY(WaitFor([&] { return b.data.size() == 15 + sent; }));
        }
        QVERIFY(m_server->PendingWriteTotal() > 0);
        QCOMPARE(m_server->LoggedInCount(), 3);
        Client second(m_server->Port(), false);
        QVERIFY(WaitFor([&] { return m_server->AwaitingLoginCount() == 1; }));
        second.Write("alice\nsecret\n");
        QVERIFY(WaitFor([&] { return m_server->LoggedInCount() == 4; }));
        for (int round = 0; round < 50 && !LogHas("slowest readers"); ++round) {
            a.Write(burst);
            sent += burst.size();
            QVERIFY(WaitFor([&] { return b.data.size() == 15 + sent; }));
        }
        QVERIFY(!b.Closed());
        const QStringList cuts = m_log.filter("among the slowest readers");
        QVERIFY2(!cuts.isEmpty(), qPrintable(m_log.join('\n')));
        QVERIFY2(cuts.first().startsWith("#3 "), qPrintable(cuts.join('\n')));
    }

    // Past its input rate a client is not read until the clock allows it again; nothing is
    // lost, and the other clients are served meanwhile.
    void inputRateHoldsBackAFastSender() {
        ServerOptions options = TestOptions();
        options.inputLinesPerSecond = 1000;
        options.inputBurstLines = 100;
        QVERIFY(Start(options));
        Client fast(m_server->Port()), reader(m_server->Port()), other(m_server->Port());
        QVERIFY(LogIn(fast));
        QVERIFY(LogIn(reader));
        QVERIFY(LogIn(other, "bob", "hunter 2"));
        const QByteArray line = Line("ADDQSO: \"A\" \"\" 1");
        fast.Write(line.repeated(1000));
        const auto relayed = [&] { return reader.data.count(line); };
        QVERIFY(WaitFor([&] { return relayed() >= 100; }));
        const QByteArray another = Line("HELLO: \"B\" \"\" 2");
        other.Write(another);
        QVERIFY(WaitFor([&] { return reader.data.endsWith(another); }));
        // The burst, and at most the rest of a slice past it (4 KiB reads, 21-byte lines).
        const qsizetype held = relayed();
        QVERIFY2(held < 100 + 2 * 4096 / line.size(), qPrintable(QString::number(held)));
        QVERIFY(!fast.Closed());
        for (int step = 0; step < 20 && relayed() < 1000; ++step) {
            m_now += 100;
            m_server->Tick();
            QTest::qWait(20);
        }
        QVERIFY(WaitFor([&] { return relayed() == 1000; }));
        QCOMPARE(reader.data.size(), 15 + 1000 * line.size() + another.size());
    }

    void unfitTextsAreDroppedAndCounted_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << RawLine("");
        QTest::newRow("escape") << RawLine("ADDQSO: \"A\" \"\" \x1b[2J");
        QTest::newRow("bell") << RawLine("ADDQSO: \"A\" \"\" \x07");
        QTest::newRow("carriage return") << RawLine("HELLO: \"A\"\r\"\" 1");
    }
    // Text that no message of the logging network carries; an escaped high byte whose low half
    // is below 0x20, and a tab, still pass.
    void unfitTextsAreDroppedAndCounted() {
        QFETCH(QByteArray, bytes);
        QVERIFY(Start());
        Client a(m_server->Port()), b(m_server->Port());
        QVERIFY(LogIn(a));
        QVERIFY(LogIn(b));
        const QByteArray fit = RawLine("ADDQSO: \"A\"\t\"\" \x7f\x1b");
        a.Write(bytes.repeated(50) + fit);
        QVERIFY(WaitFor([&] { return b.data.endsWith(fit); }));
        QCOMPARE(b.data, "login:password:" + fit);
        QVERIFY2(m_server->SummaryLine().contains("lines in 1, out 1, dropped 50"),
                 qPrintable(m_server->SummaryLine()));
    }

    // A login removed from the users file, or whose password changed, is disconnected at the
    // reload; an unchanged one stays.
    void reloadDisconnectsRevokedLogins() {
        WriteUsers("alice:secret\nbob:hunter 2\ncarol:pw\n", "users-revoke");
        ServerOptions options = TestOptions();
        options.usersFile = m_dir.filePath("users-revoke");
        QVERIFY(Start(options));
        Client alice(m_server->Port()), bob(m_server->Port()), carol(m_server->Port());
        QVERIFY(LogIn(alice));
        QVERIFY(LogIn(bob, "bob", "hunter 2"));
        QVERIFY(LogIn(carol, "carol", "pw"));
        WriteUsers("bob:new\ncarol:pw\n", "users-revoke");
        QVERIFY(m_server->ReloadUsers());
        QVERIFY(WaitFor([&] { return alice.Closed() && bob.Closed(); }));
        QVERIFY(!carol.Closed());
        QVERIFY(LogHas("its login was removed from the users file"));
        QVERIFY(LogHas("its password changed in the users file"));
        QCOMPARE(m_server->LoggedInCount(), 1);
    }

    void usersFile_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::addColumn<QByteArrayList>("valid");
        QTest::newRow("comments, blanks, CR LF")
            << QByteArray("# site logins\r\n\r\nalice:secret\r\n   \n  # indented\nbob:b\n")
            << QString() << QByteArrayList{"alice:secret", "bob:b"};
        QTest::newRow("colon and blanks in password")
            << QByteArray("carol: a:b ") << QString() << QByteArrayList{"carol: a:b "};
        QTest::newRow("empty file") << QByteArray() << QString() << QByteArrayList{};
        QTest::newRow("crypt hash beside a plain password")
            << QByteArray("erin:$6$kavlinksalt$gVa7P2bJ2rL79tFEWz2eNqpdTgYMKsPW6QjDoiuoD1bZMUjVy/"
                          "ivHFOPNXwp9rGJLFLCYLasgKchzp.XLLV4J1\nbob:b\n")
            << QString() << QByteArrayList{"erin:pw", "bob:b"};
        QTest::newRow("hashes of each kind mkpasswd makes")
            << QByteArray(
                   "y:$y$j9T$Pv/yu5Hw2okcJbCe.4IuT0$dMEtxLZbFZvZjp7hITeoFFZDtgz0CCcDLk00qvTFXA8\n"
                   "b:$2b$05$BBJvK4pUjT4y5ov3ul9tY.kiTUZNyToLCBpRy6cE83lYiB0hwjGIK\n"
                   "s:" +
                   kHash + "\n")
            << QString() << QByteArrayList{"y:pw", "b:pw", "s:pw"};
        QTest::newRow("hash not understood")
            << QByteArray("erin:$y$bad\n") << "line 1: password hash not understood"
            << QByteArrayList{};
        QTest::newRow("hash cut short")
            << QByteArray("erin:" + kHash.chopped(1) + "\n")
            << "line 1: password hash not understood" << QByteArrayList{};
        QTest::newRow("rounds past the most")
            << QByteArray("erin:$5$rounds=9999999999$rEk8mHciMg1Qyx7u$" + kHash.right(43) + "\n")
            << "line 1: password hash not understood" << QByteArrayList{};
        QTest::newRow("bcrypt cost past 31")
            << QByteArray("erin:$2b$32$BBJvK4pUjT4y5ov3ul9tY.kiTUZNyToLCBpRy6cE83lYiB0hwjGIK\n")
            << "line 1: password hash not understood" << QByteArrayList{};
        QTest::newRow("no colon") << QByteArray("alice:x\nbob\n") << "line 2: expected"
                                  << QByteArrayList{};
        QTest::newRow("empty login")
            << QByteArray(":x\n") << "line 1: empty login" << QByteArrayList{};
        QTest::newRow("login twice")
            << QByteArray("a:1\na:2\n") << "line 2: login given twice" << QByteArrayList{};
        QTest::newRow("empty password")
            << QByteArray("alice:x\ndave:\n") << "line 2: empty password" << QByteArrayList{};
        QTest::newRow("empty password with CR")
            << QByteArray("dave:\r\n") << "line 1: empty password" << QByteArrayList{};
    }
    void usersFile() {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        QFETCH(QByteArrayList, valid);
        CUserTable table;
        QVERIFY(table.Parse("old:pw", nullptr));
        QString why;
        QCOMPARE(table.Parse(content, &why), error.isEmpty());
        QVERIFY2(why.startsWith(error), qPrintable(why));
        if (!error.isEmpty()) {
            QVERIFY(table.Check("old", "pw")); // a failed read keeps the table in use
            return;
        }
        QCOMPARE(table.Size(), valid.size());
        for (const QByteArray& pair : valid) {
            const qsizetype colon = pair.indexOf(':');
            QVERIFY(table.Check(pair.left(colon), pair.mid(colon + 1)));
            QVERIFY(!table.Check(pair.left(colon), pair.mid(colon + 1) + 'x'));
        }
    }

    // Only a regular file that others cannot write is read; never waits on a FIFO.
    void usersFileKind_data() {
        QTest::addColumn<QString>("kind"); // "file", "fifo" or "directory"
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("warning");
        QTest::newRow("owner only") << "file" << 0600 << QString() << QString();
        QTest::newRow("readable by others") << "file" << 0644 << QString() << "read by anyone";
        QTest::newRow("writable by others") << "file" << 0602 << "written by anyone" << QString();
        QTest::newRow("FIFO") << "fifo" << 0600 << "not a regular file" << QString();
        QTest::newRow("directory") << "directory" << 0700 << "not a regular file" << QString();
    }
    void usersFileKind() {
        QFETCH(QString, kind);
        QFETCH(int, mode);
        QFETCH(QString, error);
        QFETCH(QString, warning);
        const QString path = m_dir.filePath("kind-" + QString::fromLatin1(QTest::currentDataTag()));
        const QByteArray name = QFile::encodeName(path);
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(name.constData(), static_cast<mode_t>(mode)), 0);
        } else if (kind == "directory") {
            QVERIFY(QDir().mkdir(path));
        } else {
            WriteUsers("alice:secret\n", "kind-" + QString::fromLatin1(QTest::currentDataTag()));
            QCOMPARE(::chmod(name.constData(), static_cast<mode_t>(mode)), 0);
        }
        CUserTable table;
        QString why;
        QString caution;
        QCOMPARE(table.LoadFile(path, &why, &caution), error.isEmpty());
        QVERIFY2(error.isEmpty() ? why.isEmpty() : why.contains(error), qPrintable(why));
        QVERIFY2(warning.isEmpty() ? caution.isEmpty() : caution.contains(warning),
                 qPrintable(caution));
    }

    void missingUsersFileIsAnError() {
        CUserTable table;
        QString why;
        QVERIFY(!table.LoadFile(m_dir.filePath("nowhere"), &why));
        QVERIFY2(why.contains("nowhere"), qPrintable(why));
    }

    void binaryRefusesBadCommandLines_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("no users file") << QStringList{} << 2 << "--allow-any-login";
        QTest::newRow("both") << QStringList{"--users", "u", "--allow-any-login"} << 2
                              << "not both";
        QTest::newRow("bad port") << QStringList{"--allow-any-login", "--port", "70000"} << 2
                                  << "not a port number";
        QTest::newRow("missing users file")
            << QStringList{"--users", "/nonexistent/users"} << 1 << "cannot read users file";
        QTest::newRow("bad limit") << QStringList{"--allow-any-login", "--max-pending", "0"} << 2
                                   << "--max-pending wants a number from 1";
        QTest::newRow("bad stats interval")
            << QStringList{"--allow-any-login", "--stats-interval", "x"} << 2
            << "not a number of seconds: x";
        QTest::newRow("status port without a port")
            << QStringList{"--allow-any-login", "--http", "127.0.0.1"} << 2
            << "--http wants ADDRESS:PORT: 127.0.0.1";
        QTest::newRow("status port, IPv6 without brackets")
            << QStringList{"--allow-any-login", "--http", "::1:10380"} << 2
            << "--http wants ADDRESS:PORT";
        QTest::newRow("status port, a name")
            << QStringList{"--allow-any-login", "--http", "localhost:10380"} << 2
            << "--http wants ADDRESS:PORT";
    }
    void binaryRefusesBadUsersFiles_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("message");
        QTest::newRow("writable by others")
            << QByteArray("alice:secret\n") << 0666 << "may be written by anyone";
        QTest::newRow("empty password") << QByteArray("alice:\n") << 0600 << "empty password";
    }
    void binaryRefusesBadUsersFiles() {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(QString, message);
        WriteUsers(content, "users-bad");
        QCOMPARE(::chmod(QFile::encodeName(m_dir.filePath("users-bad")).constData(),
                         static_cast<mode_t>(mode)),
                 0);
        QProcess process;
        process.start(KAVLINK_SERVER_BINARY, {"--users", m_dir.filePath("users-bad")});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 1);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.contains(message), qPrintable(err));
    }
    void binaryRefusesBadCommandLines() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, message);
        QProcess process;
        process.start(KAVLINK_SERVER_BINARY, arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.contains(message), qPrintable(err));
    }

    // The real binary: log-in, users file re-read on SIGHUP, clean stop on SIGTERM.
    void binaryReloadsAndStops() {
        QProcess process;
        WriteUsers("alice:secret\nbob:pw\n", "users-binary");
        QByteArray err;
        const quint16 port = StartBinary(process, {"--users", m_dir.filePath("users-binary")}, err);
        QVERIFY(port != 0);
        Client alice(port), bob(port);
        QVERIFY(WaitFor([&] { return alice.data == "login:" && bob.data == "login:"; }));
        alice.Write("alice\nsecret\n");
        bob.Write("bob\npw\n");
        QVERIFY(StderrSays(process, err, "logged in as \"alice\""));
        QVERIFY(StderrSays(process, err, "logged in as \"bob\""));

        // alice is revoked at the reload; bob, unchanged, stays.
        WriteUsers("bob:pw\ncarol:pw\n", "users-binary");
        ::kill(static_cast<pid_t>(process.processId()), SIGHUP);
        QVERIFY(StderrSays(process, err, "users file reloaded: 2 logins"));
        QVERIFY(WaitFor([&] { return alice.Closed(); }));
        QVERIFY(StderrSays(process, err, "its login was removed from the users file"));
        QVERIFY(!bob.Closed());
        Client carol(port);
        QVERIFY(WaitFor([&] { return carol.data == "login:"; }));
        carol.Write("carol\npw\n");
        QVERIFY(StderrSays(process, err, "logged in as \"carol\""));

        process.terminate();
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(WaitFor([&] { return bob.Closed() && carol.Closed(); }));
    }

    // SIGUSR1 writes the status; --stats-interval a summary line at that period.
    void binaryWritesStatusAndSummaries() {
        QProcess process;
        WriteUsers("alice:secret\n", "users-status");
        QByteArray err;
        const quint16 port = StartBinary(
            process, {"--users", m_dir.filePath("users-status"), "--stats-interval", "1"}, err);
        QVERIFY(port != 0);
        Client alice(port);
        QVERIFY(WaitFor([&] { return alice.data == "login:"; }));
        alice.Write("alice\nsecret\n");
        QVERIFY(StderrSays(process, err, "logged in as \"alice\""));
        ::kill(static_cast<pid_t>(process.processId()), SIGUSR1);
        QVERIFY(WaitFor([&] {
            err += process.readAllStandardError();
            return err.contains("status: 1 clients, 1 logged in") &&
                   err.contains("\"alice\" logged in since");
        }));
        QVERIFY(StderrSays(process, err, "summary: 1 clients, 1 logged in"));
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
    }

    // SIGHUP while the users file is a FIFO: refused at once, the old table stays in use.
    void binaryReloadSkipsAFifo() {
        QProcess process;
        WriteUsers("alice:secret\n", "users-fifo");
        QByteArray err;
        const quint16 port = StartBinary(process, {"--users", m_dir.filePath("users-fifo")}, err);
        QVERIFY(port != 0);
        const QByteArray name = QFile::encodeName(m_dir.filePath("users-fifo"));
        QVERIFY(QFile::remove(m_dir.filePath("users-fifo")));
        QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        ::kill(static_cast<pid_t>(process.processId()), SIGHUP);
        QVERIFY(StderrSays(process, err, "not a regular file"));
        Client alice(port);
        QVERIFY(WaitFor([&] { return alice.data == "login:"; }));
        alice.Write("alice\nsecret\n");
        QVERIFY(StderrSays(process, err, "logged in as \"alice\""));
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
    }

    // Out of descriptors: said once, new connections closed unserved, and served again once
    // descriptors are free.
    void binaryBacksOffWhenOutOfDescriptors() {
#ifdef __SANITIZE_ADDRESS__
        // UBSan checks each first call on a type through a pipe, and reports a false type error
        // when none can be opened.
        QSKIP("the sanitizer runtime needs descriptors of its own");
#endif
        QProcess process;
        QByteArray err;
        const std::optional<quint16> started =
            StartServerBinary(process, KAVLINK_SERVER_BINARY,
                              {"--allow-any-login", "--max-pending-per-address", "100",
                               "--connects-per-minute", "1000", "--port", "0"},
                              err, QStringLiteral("listening on 127.0.0.1 port (\\d+)"),
                              QStringLiteral("ulimit -n 40 && exec \"$0\" \"$@\""));
        QVERIFY2(started, err.constData());
        const quint16 port = *started;
        std::vector<std::unique_ptr<Client>> clients;
        clients.reserve(60);
        for (int i = 0; i < 60; ++i)
            clients.push_back(std::make_unique<Client>(port));
        QVERIFY2(WaitFor([&] {
                     err += process.readAllStandardError();
                     return err.contains("cannot accept");
                 }),
                 err.constData());
        // Those beyond the limit are closed without a prompt rather than left hanging.
        QVERIFY(WaitFor([&] {
            return std::count_if(clients.begin(), clients.end(), [](const auto& c) {
                       return c->Closed() && c->data.isEmpty();
                   }) > 0;
        }));
        clients.clear();
        Client later(port);
        QVERIFY2(WaitFor([&] { return later.data == "login:"; }),
                 (err + process.readAllStandardError()).constData());
        err += process.readAllStandardError();
        QCOMPARE(err.count("cannot accept"), 1);
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
    }

    // A sender in another process can outrun one write per event; a receiver that reads
    // must still get the whole burst.
    void binaryKeepsAReaderThroughABurst() {
        QProcess process;
        QByteArray err;
        // 50 000 lines at once: far past the input rate, which is not what this is about.
        const quint16 port =
            StartBinary(process, {"--allow-any-login", "--max-input-lines", "0"}, err);
        QVERIFY(port != 0);
        Client a(port), b(port);
        for (Client* client : {&a, &b}) {
            QVERIFY(WaitFor([&] { return client->data == "login:"; }));
            client->Write("x\ny\n");
            QVERIFY(WaitFor([&] { return client->data == "login:password:"; }));
        }
        QVERIFY(WaitFor([&] {
            err += process.readAllStandardError();
            return err.count("logged in") == 2;
        }));
        const QByteArray burst = Line("ADDQSO: \"A\" \"\" " + QByteArray(80, 'q')).repeated(50000);
        a.Write(burst);
        QVERIFY(WaitFor([&] {
            a.socket.flush(); // as fast as the kernel takes it
            return b.data.size() == 15 + burst.size() || b.Closed();
        }));
        err += process.readAllStandardError();
        QVERIFY2(!b.Closed(), err.constData());
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
    }

    // What an operator sees beside a program that uses the LAN port: good messages with their
    // high bytes shown, and bad datagrams with what is wrong with them.
    void lanToolListensBesideTheLibrary() {
        QProcess listener;
        listener.start(KAVLINK_LAN_BINARY, {"listen", "--port", "0"});
        QByteArray err;
        const QRegularExpression listening("listening on UDP port (\\d+)");
        QRegularExpressionMatch match;
        QVERIFY(WaitFor([&] {
            err += listener.readAllStandardError();
            match = listening.match(QString::fromUtf8(err));
            return match.hasMatch();
        }));
        const auto port = static_cast<quint16>(match.captured(1).toUInt());
        QList<QByteArray> texts;
        COrvaneLan lan;
        connect(&lan, &COrvaneLan::messageReceived,
                [&texts](const QByteArray& text) { texts.append(text); });
        QVERIFY(lan.Init("127.255.255.255", port));

        QCOMPARE(
            QProcess::execute(KAVLINK_LAN_BINARY, {"send", "--port", QString::number(port),
                                                   QStringLiteral("HELLO: \"A\" \"\" caf\u00e9")}),
            0);
        QUdpSocket raw;
        raw.writeDatagram(QByteArray::fromHex("616263a700"), QHostAddress("127.255.255.255"), port);
        QByteArray out;
        QVERIFY(WaitFor([&] {
            out += listener.readAllStandardOutput();
            return out.count('\n') == 2;
        }));
        const QList<QByteArray> lines = out.split('\n');
        QVERIFY2(lines[0].endsWith(" HELLO: \"A\" \"\" caf\\xE9"), lines[0].constData());
        QVERIFY2(lines[1].contains("BAD DATAGRAM (checksum 0xA7, expected 0xA6"),
                 lines[1].constData());
        QVERIFY(WaitFor([&] { return texts.size() == 1; }));
        QCOMPARE(texts[0], QByteArray("HELLO: \"A\" \"\" caf\xE9"));
        lan.Close();
        listener.terminate();
        QVERIFY(listener.waitForFinished(10000));
        QCOMPARE(listener.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestTunnelServer)
#include "TestTunnelServer.moc"
