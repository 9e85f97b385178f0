// The real kavlink binary, headless, each run in a private data directory, against test tunnel
// servers and LAN station sockets on loopback. Also prints what it measures (log-in time, a
// message's time across two sites, reconnect delay, burst throughput).
#include "CKavlinkSite.h"
#include "CLanStation.h"
#include "CRelayServer.h"
#include "CScriptedTunnelServer.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int kStartMs = 10000;
// One failed attempt plus the 5 s pause plus a new attempt, with room for a loaded machine.
constexpr int kReconnectWaitMs = 12000;

QByteArray Addqso(const QByteArray& station, int number) {
    return "ADDQSO: \"" + station + "\" \"\" " + QByteArray::number(number) +
           " 20261210 0420 14074.0 FT8 \"DL1ABC\" 599 599";
}

qsizetype CountOf(const QList<QByteArray>& texts, const QByteArray& text) {
    return std::count(texts.begin(), texts.end(), text);
}

qint64 Median(std::vector<qint64> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private:
    std::vector<std::unique_ptr<CKavlinkSite>> m_sites;
    std::unique_ptr<CRelayServer> m_relay;

    CKavlinkSite* StartSite(quint16 tunnelPort) {
        m_sites.push_back(std::make_unique<CKavlinkSite>(KAVLINK_BINARY));
        return m_sites.back()->Start(tunnelPort) ? m_sites.back().get() : nullptr;
    }

    // Two sites behind the real relay server, both logged in and named ~SITEA and ~SITEB.
    bool StartTwoSites(CKavlinkSite*& a, CKavlinkSite*& b) {
        m_relay = std::make_unique<CRelayServer>(KAVLINK_SERVER_BINARY);
        const quint16 port = m_relay->Start();
        if (port == 0)
            return false;
        a = StartSite(port);
        b = StartSite(port);
        if (a == nullptr || b == nullptr ||
            !QTest::qWaitFor([&] { return m_relay->LoggedIn() == 2; }, kStartMs))
            return false;
        a->Lan().Send("IHAVEWAN: \"SITEA\" \"\" 1");
        b->Lan().Send("IHAVEWAN: \"SITEB\" \"\" 1");
        return QTest::qWaitFor(
            [&] {
                return a->LogCount("Tunnel named : ~SITEA") == 1 &&
                       b->LogCount("Tunnel named : ~SITEB") == 1 &&
                       a->Lan().Received().contains("IHAVEWAN: \"SITEB\" \"\" 1") &&
                       b->Lan().Received().contains("IHAVEWAN: \"SITEA\" \"\" 1");
            },
            kStartMs);
    }

    // Waits until a text sent on one site's LAN has come out on the other's LAN: whatever the
    // first site sent into the tunnel before it has then come out too, the path keeping order.
    // Each marker has a sender of its own, never yet seen as a WAN station.
    static bool Barrier(CKavlinkSite& from, CKavlinkSite& to, int number) {
        const QByteArray marker = Addqso("MARK" + QByteArray::number(number), number);
        from.Lan().Send(marker);
        return QTest::qWaitFor([&] { return to.Lan().Received().contains(marker); }, kStartMs);
    }

private slots:
    void cleanup() {
        bool clean = true;
        for (auto& site : m_sites)
            clean = site->Stop() && clean;
        m_sites.clear();
        if (m_relay)
            clean = m_relay->Stop() && clean;
        m_relay.reset();
        QVERIFY2(clean, "every process must end with status 0 on SIGTERM");
    }

    void logsInAndRelaysBothWays() {
        CScriptedTunnelServer server;
        QVERIFY(server.Listen());
        QSignalSpy loggedIn(&server, &CScriptedTunnelServer::loggedIn);
        CKavlinkSite* site = StartSite(server.Port());
        QVERIFY(site != nullptr);
        QVERIFY(loggedIn.wait(kStartMs));
        qInfo("measured: log-in %lld ms from process start to the password answer",
              site->MsSinceStart());
        QCOMPARE(server.ReceivedBytes(), QByteArray("site\nsecret\n"));

        const QByteArray fromLan = Addqso("STN1", 1);
        site->Lan().Send(fromLan);
        QTRY_COMPARE_WITH_TIMEOUT(server.Lines().size(), 1, kStartMs);

        const QByteArray fromWan = Addqso("W1", 2);
        server.SendLine(fromWan);
        QTRY_VERIFY_WITH_TIMEOUT(site->Lan().Received().contains(fromWan), kStartMs);

        // The station sends after it saw the broadcast, so Kavlink handles its echo first.
        const QByteArray after = Addqso("STN1", 3);
        site->Lan().Send(after);
        QTRY_COMPARE_WITH_TIMEOUT(server.Lines().size(), 2, kStartMs);
        QCOMPARE(server.Lines(), (QList<QByteArray>{CScriptedTunnelServer::TunnelLine(fromLan),
                                                    CScriptedTunnelServer::TunnelLine(after)}));
        QCOMPARE(server.ReceivedBytes(), "site\nsecret\n" + server.Lines().join());
        QCOMPARE(CountOf(site->Lan().Received(), fromWan), 1);
        QCOMPARE(site->LogCount("From WAN (TO LAN) : " + fromWan), 1);
    }

    void reconnectsAboutFiveSecondsAfterServerCloses() {
        CScriptedTunnelServer server;
        QVERIFY(server.Listen());
        CKavlinkSite* site = StartSite(server.Port());
        QVERIFY(site != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(server.LoggedIn(), kStartMs);

        QSignalSpy connected(&server, &CScriptedTunnelServer::clientConnected);
        QElapsedTimer closedAt;
        closedAt.start();
        server.CloseClient();
        QVERIFY(connected.wait(kReconnectWaitMs));
        const qint64 delayMs = closedAt.elapsed();
        qInfo("measured: reconnect %lld ms after the server closed", delayMs);
        QVERIFY2(delayMs >= 4000 && delayMs <= 8000, qPrintable(QString::number(delayMs)));
        QTRY_VERIFY_WITH_TIMEOUT(server.LoggedIn(), kStartMs);
        QCOMPARE(server.Connections(), 2);
        QCOMPARE(server.Login(), QByteArray("site"));
        QCOMPARE(site->LogCount("Tunnel disconnected"), 1);
        QCOMPARE(site->LogCount("Connecting tunnel..."), 2);

        // Relaying resumes on the new connection.
        const QByteArray text = Addqso("STN1", 1);
        site->Lan().Send(text);
        QTRY_COMPARE_WITH_TIMEOUT(server.Lines().size(), 1, kStartMs);
        QCOMPARE(server.Lines().first(), CScriptedTunnelServer::TunnelLine(text));
    }

    void connectsOnceRefusedPortStartsListening() {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        const quint16 port = listener.serverPort();
        listener.close();
        CKavlinkSite* site = StartSite(port);
        QVERIFY(site != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(site->LogCount("Tunnel disconnected") >= 1, kStartMs);

        QVERIFY(listener.listen(QHostAddress::LocalHost, port));
        QElapsedTimer listening;
        listening.start();
        QSignalSpy connected(&listener, &QTcpServer::newConnection);
        QVERIFY(connected.wait(kReconnectWaitMs));
        qInfo("measured: connected %lld ms after the port began listening", listening.elapsed());
        QVERIFY(listening.elapsed() <= 8000);
        QVERIFY(site->LogCount("Connecting tunnel...") >= 2);
    }

    void addqsoCrossesTwoSitesExactlyOnce() {
        CKavlinkSite* a = nullptr;
        CKavlinkSite* b = nullptr;
        QVERIFY(StartTwoSites(a, b));
        const QByteArray text = Addqso("STN1", 1);
        a->Lan().Send(text);
        QTRY_VERIFY_WITH_TIMEOUT(b->Lan().Received().contains(text), kStartMs);
        // Anything bouncing would come before these.
        QVERIFY(Barrier(*a, *b, 100));
        QVERIFY(Barrier(*b, *a, 101));
        QCOMPARE(CountOf(b->Lan().Received(), text), 1);
        QCOMPARE(CountOf(a->Lan().Received(), text), 1); // the station's own broadcast
        QCOMPARE(a->LogCount("From LAN (TO WAN) : " + text), 1);
        QCOMPARE(b->LogCount("From WAN (TO LAN) : " + text), 1);
    }

    void messageTimeAcrossTwoSites() {
        CKavlinkSite* a = nullptr;
        CKavlinkSite* b = nullptr;
        QVERIFY(StartTwoSites(a, b));
        // Timed on the signal itself: QSignalSpy::wait wakes at the event, no polling step.
        QSignalSpy received(&b->Lan(), &CLanStation::messageReceived);
        QElapsedTimer clock;
        std::vector<qint64> micros;
        for (int i = 0; i < 50; ++i) {
            const QByteArray text = Addqso("STN1", i);
            received.clear();
            clock.start();
            a->Lan().Send(text);
            QVERIFY(received.wait(kStartMs));
            micros.push_back(clock.nsecsElapsed() / 1000);
            QCOMPARE(received.first().first().toByteArray(), text);
        }
        qInfo("measured: LAN A to LAN B through the relay server, median %lld us, max %lld us",
              Median(micros), *std::max_element(micros.begin(), micros.end()));
    }

    void inventoryRequestIsAnsweredByBothSitesAndSettles() {
        CKavlinkSite* a = nullptr;
        CKavlinkSite* b = nullptr;
        QVERIFY(StartTwoSites(a, b));
        a->Lan().Send("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 2 -1 -1 -1 -1 123 \"x\"");
        const QByteArray fromA = "INVENTORY: \"~SITEA\" \"STN1\" \"STATUS\" 5 3 -1 -1 -1 -1 123 "
                                 "\"Kavlink v1.18.0 [ht]\"";
        const QByteArray fromB = "INVENTORY: \"~SITEB\" \"STN1\" \"STATUS\" 5 4 -1 -1 -1 -1 123 "
                                 "\"Kavlink v1.18.0 [ht]\"";
        const QByteArray relayed = "INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 3 -1 -1 -1 -1 123 \"x\"";
        QTRY_VERIFY_WITH_TIMEOUT(a->Lan().Received().contains(fromA), kStartMs);
        QTRY_VERIFY_WITH_TIMEOUT(a->Lan().Received().contains(fromB), kStartMs);
        QVERIFY(b->Lan().Received().contains(relayed));

        // Whatever the two sites had sent into the tunnel has arrived once these have.
        QVERIFY(Barrier(*a, *b, 100));
        QVERIFY(Barrier(*b, *a, 101));
        const qsizetype passed = m_relay->LinesRelayed();
        QTest::qWait(3000);
        QCOMPARE(m_relay->LinesRelayed(), passed);
        // The request relayed by A, B's reply, and A's reply to its LAN, which A also sends on
        // (its sender is a tunnel name, not a WAN station).
        const qsizetype inventory = m_relay->LinesRelayed("INVENTORY:");
        qInfo("measured: the inventory request took %lld lines through the relay server",
              static_cast<long long>(inventory));
        QCOMPARE(inventory, 3);
        QCOMPARE(CountOf(a->Lan().Received(), fromA), 1);
        QCOMPARE(CountOf(a->Lan().Received(), fromB), 1);
        QCOMPARE(CountOf(b->Lan().Received(), relayed), 1);
        QCOMPARE(CountOf(b->Lan().Received(), fromA), 1);
        QCOMPARE(b->LogCount("To WAN - INV REPLY : " + fromB), 1);
    }

    // More than the 1 MiB write bound of lines, sent as fast as the LAN takes them: all of it
    // reaches a reading server in order, and the tunnel keeps working the other way meanwhile.
    void lanBurstReachesServerCompleteAndInOrder() {
        constexpr int kBurst = 20000;
        CScriptedTunnelServer server;
        QVERIFY(server.Listen());
        CKavlinkSite* site = StartSite(server.Port());
        QVERIFY(site != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(server.LoggedIn(), kStartMs);

        QElapsedTimer clock;
        clock.start();
        const QByteArray fromWan = Addqso("W1", 1);
        for (int i = 0; i < kBurst; ++i) {
            site->Lan().Send(Addqso("STN1", i));
            // Short pauses keep the kernel's buffer, which is not ours, from overflowing.
            if (i % 500 == 499)
                QTest::qWait(2);
            if (i == kBurst / 4)
                server.SendLine(fromWan);
        }
        const qint64 sentMs = clock.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(site->Lan().Received().contains(fromWan), kStartMs);
        const qsizetype atServerWhenCrossed = server.Lines().size();
        const qint64 crossedMs = clock.elapsed();
        QVERIFY2(atServerWhenCrossed < kBurst,
                 "the tunnel line waited for the whole LAN burst to drain");
        QTRY_VERIFY_WITH_TIMEOUT(server.Lines().size() >= kBurst, 120000);
        const qint64 doneMs = clock.elapsed();
        qInfo("measured: %d LAN messages sent in %lld ms, all at the server after %lld ms "
              "(%.0f messages/s); a tunnel line crossed the other way after %lld ms",
              kBurst, sentMs, doneMs, kBurst * 1000.0 / static_cast<double>(doneMs), crossedMs);
        QCOMPARE(server.Lines().size(), kBurst);
        for (int i = 0; i < kBurst; ++i) {
            if (server.Lines().at(i) != CScriptedTunnelServer::TunnelLine(Addqso("STN1", i)))
                QFAIL(qPrintable(QString("line %1 is not message %1").arg(i)));
        }
        QVERIFY(site->IsRunning());
    }

    void junkFromTunnelLeavesRelayWorking() {
        CScriptedTunnelServer server;
        QVERIFY(server.Listen());
        CKavlinkSite* site = StartSite(server.Port());
        QVERIFY(site != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(server.LoggedIn(), kStartMs);

        QRandomGenerator random(4711);
        QByteArray junk(1 << 20, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(junk.data()), junk.size() / 4);
        server.SendRaw(junk);
        for (int i = 0; i < 50; ++i)
            server.SendLine("ADDQSO: \"W1\" \"\" " + QByteArray(5000 + i * 97, 'A'));

        // A chunk holding a NUL is read only up to it, so the good line may be cut by junk still
        // in flight: send it again until it arrives. The leading byte ends any partial line.
        int attempt = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QByteArray good = Addqso("W1", attempt++);
                server.SendRaw("\xFF" + CScriptedTunnelServer::TunnelLine(good));
                return QTest::qWaitFor([&] { return site->Lan().Received().contains(good); }, 500);
            },
            20000));
        QVERIFY(site->IsRunning());

        const QByteArray fromLan = Addqso("STN1", 1);
        site->Lan().Send(fromLan);
        QTRY_VERIFY_WITH_TIMEOUT(
            server.Lines().contains(CScriptedTunnelServer::TunnelLine(fromLan)), kStartMs);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "TestEndToEnd.moc"
