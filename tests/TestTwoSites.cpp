// Two real kavlink sites joined through the real tunnel server on loopback: which messages from
// site A's LAN reach site B's LAN and in what form, and both sites recovering when the server
// dies and comes back. Prints the measured reconnect time.
#include "CKavlinkSite.h"
#include "CLanStation.h"
#include "CRelayServer.h"
#include "TestCertificates.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int kWaitMs = 10000;
// The 5 s pause before a new attempt, with room for a loaded machine.
constexpr int kReconnectWaitMs = 12000;

// What a station heard from index from on, without the echo of each text it sent itself.
QList<QByteArray> HeardFromOthers(const CLanStation& lan, qsizetype from,
                                  const QList<QByteArray>& own) {
    QList<QByteArray> heard = lan.Received().mid(from);
    for (const QByteArray& text : own)
        heard.removeOne(text);
    return heard;
}

// Sends text on one site's LAN and waits until it comes out on the other's, and until the
// sending station has heard its own broadcast too, so that nothing of it arrives later.
bool Reaches(CKavlinkSite& from, CKavlinkSite& to, const QByteArray& text) {
    from.Lan().Send(text);
    return QTest::qWaitFor(
        [&] { return to.Lan().Received().contains(text) && from.Lan().Received().contains(text); },
        kWaitMs);
}

} // namespace

class TestTwoSites : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CRelayServer> m_relay;
    std::unique_ptr<CKavlinkSite> m_a;
    std::unique_ptr<CKavlinkSite> m_b;
    bool m_filterA = false;
    bool m_filterB = false;
    bool m_ready = false;
    int m_markers = 0;

    // The server and both sites, started once per FilterTimeSync combination and reused by
    // the rows that share it.
    bool Sites(bool filterA, bool filterB) {
        if (m_ready && filterA == m_filterA && filterB == m_filterB)
            return true;
        if (!StopSites())
            return false;
        m_relay = std::make_unique<CRelayServer>(KAVLINK_SERVER_BINARY);
        const quint16 port = m_relay->Start();
        if (port == 0)
            return false;
        m_a = std::make_unique<CKavlinkSite>(KAVLINK_BINARY);
        m_b = std::make_unique<CKavlinkSite>(KAVLINK_BINARY);
        m_filterA = filterA;
        m_filterB = filterB;
        m_ready =
            m_a->Start(port, {.filterTimeSync = filterA, .tls = false, .tlsFingerprint = {}}) &&
            m_b->Start(port, {.filterTimeSync = filterB, .tls = false, .tlsFingerprint = {}}) &&
            QTest::qWaitFor([&] { return m_relay->LoggedIn() == 2; }, kWaitMs);
        return m_ready;
    }

    bool StopSites() {
        m_ready = false;
        bool clean = true;
        for (auto* site : {&m_a, &m_b}) {
            if (*site)
                clean = (*site)->Stop() && clean;
            site->reset();
        }
        if (m_relay)
            clean = m_relay->Stop() && clean;
        m_relay.reset();
        if (!clean)
            qWarning("every process must end with status 0 on SIGTERM");
        return clean;
    }

    // A message from a sender never seen before, so that it crosses whatever came earlier.
    QByteArray Marker(const char* side) {
        const QByteArray number = QByteArray::number(++m_markers);
        return "ADDQSO: \"" + QByteArray(side) + number + "\" \"\" " + number +
               " 20261210 0420 14074.0 FT8 \"DL1ABC\" 599 599";
    }

private slots:
    void cleanupTestCase() { QVERIFY(StopSites()); }

    // Two sites relay over TLS with the club's self-signed certificate pinned; a third with a
    // wrong pin never logs in, and its log names the certificate it saw.
    void relayOverTls() {
        if (!HaveOpenssl())
            QSKIP("the openssl command makes the certificate");
        QVERIFY(StopSites());
        QTemporaryDir dir;
        const TestCertificate club = MakeSelfSigned(dir.path(), "club");
        const TestCertificate stranger = MakeSelfSigned(dir.path(), "stranger");
        QVERIFY(club.IsValid() && stranger.IsValid());
        CRelayServer relay(KAVLINK_SERVER_BINARY);
        QVERIFY(relay.Start(0, {"--tls-cert", club.certificate, "--tls-key", club.key, "--tls-port",
                                "0"}) != 0);
        QVERIFY(relay.TlsPort() != 0);
        CKavlinkSite a(KAVLINK_BINARY);
        CKavlinkSite b(KAVLINK_BINARY);
        CKavlinkSite wrong(KAVLINK_BINARY);
        QVERIFY(
            a.Start(relay.TlsPort(),
                    {.filterTimeSync = false, .tls = true, .tlsFingerprint = club.fingerprint}));
        // The pin as plain lower-case hex works as well.
        QVERIFY(b.Start(
            relay.TlsPort(),
            {.tls = true, .tlsFingerprint = QString(club.fingerprint).remove(':').toLower()}));
        QVERIFY(wrong.Start(
            relay.TlsPort(),
            {.filterTimeSync = false, .tls = true, .tlsFingerprint = stranger.fingerprint}));
        QVERIFY(QTest::qWaitFor([&] { return relay.LoggedIn() == 2; }, kWaitMs));
        QVERIFY(Reaches(a, b, "ADDQSO: \"A1\" \"\" 14025 CW"));
        QVERIFY(
            QTest::qWaitFor([&] { return wrong.LogCount("certificate refused") > 0; }, kWaitMs));
        QVERIFY2(wrong.Log().contains(club.fingerprint.toLatin1()), wrong.Log().constData());
        QCOMPARE(wrong.LogCount("Tunnel logged in"), 0);
        QCOMPARE(relay.LoggedIn(), 2);
        QVERIFY(a.Stop() && b.Stop() && wrong.Stop());
        QVERIFY(relay.Stop());
    }

    void relayRules_data() {
        QTest::addColumn<bool>("filterA"); // FilterTimeSync of site A
        QTest::addColumn<bool>("filterB");
        // Sent on B's LAN first and awaited on A's, making its sender a WAN station for A.
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("sent");    // on A's LAN
        QTest::addColumn<QByteArray>("arrives"); // on B's LAN; empty: nothing does
        // Log lines each site must hold once; %s is the message as A handled it (what
        // arrives, or else what was sent).
        QTest::addColumn<QByteArray>("logA");
        QTest::addColumn<QByteArray>("logB");

        const QByteArray toWan = "From LAN (TO WAN) : %s";
        const auto dropped = [](const char* reason) {
            return "From LAN (DROPPED - " + QByteArray(reason) + ") : %s";
        };
        const auto row = [](const char* name, bool filterA, bool filterB, const char* before,
                            const char* sent, const char* arrives, const QByteArray& logA,
                            const char* logB = "") {
            QTest::newRow(name) << filterA << filterB << QByteArray(before) << QByteArray(sent)
                                << QByteArray(arrives) << logA << QByteArray(logB);
        };
        // Rows are grouped by filter setting: each group runs on one set of processes.
        constexpr bool off = false;
        constexpr bool on = true;
        const char* addqso = R"(ADDQSO: "A1" "" 1 20261210 0420 14074.0 FT8 "DL1ABC" 599 599)";
        row("ADDQSO to all crosses", off, off, "", addqso, addqso, toWan);
        row("ADDQSO to a LAN station stays", off, off, "",
            R"(ADDQSO: "A2" "A3" 2 20261210 0420 14074.0 FT8 "DL1ABC" 599 599)", "",
            dropped("Local ADDQSO"));
        const char* toB1 = R"(ADDQSO: "A4" "B1" 4 20261210 0420 14074.0 FT8 "DL1ABC" 599 599)";
        row("ADDQSO to a station of B crosses", off, off,
            R"(ADDQSO: "B1" "" 3 20261210 0420 14074.0 FT8 "DL1ABC" 599 599)", toB1, toB1, toWan);
        row("RCVDPKT stays", off, off, "", R"(RCVDPKT: "A5" "" "frame")", "",
            dropped("Packet Frames"));
        row("SENDPKT stays", off, off, "", R"(SENDPKT: "A6" "" "frame")", "",
            dropped("Packet Frames"));
        row("READAZIMUTH stays", off, off, "", R"(READAZIMUTH: "A7" "" 270)", "",
            dropped("Rotor Frames"));
        row("SETAZIMUTH stays", off, off, "", R"(SETAZIMUTH: "A8" "" 90)", "",
            dropped("Rotor Frames"));
        row("IHAVELAN stays", off, off, "", R"(IHAVELAN: "A9" "" 12)", "", dropped("IHAVELAN"));
        row("IHAVE stays", off, off, "", R"(IHAVE: "A10" "" 12)", "", dropped("IHAVE (LAN)"));
        row("NEEDQSO stays", off, off, "", R"(NEEDQSO: "A11" "" 12)", "", dropped("NEEDQSO (LAN)"));
        row("NEEDQSOWAN to all stays", off, off, "", R"(NEEDQSOWAN: "A12" "" 12)", "",
            dropped("NEEDQSOWAN recipient not external"));
        row("NEEDQSOWAN to a station of B crosses", off, off,
            R"(ADDQSO: "B2" "" 5 20261210 0420 14074.0 FT8 "DL1ABC" 599 599)",
            R"(NEEDQSOWAN: "A13" "B2" 12)", R"(NEEDQSOWAN: "A13" "B2" 12)", toWan);
        row("IHAVEWAN crosses and names A's tunnel", off, off, "", R"(IHAVEWAN: "A14" "" 1)",
            R"(IHAVEWAN: "A14" "" 1)", "Tunnel named : ~A14");
        row("TIME crosses with the filter off", off, off, "", R"(TIME: "A15" "" 1733804400)",
            R"(TIME: "A15" "" 1733804400)", toWan);
        row("HELLO MASTER crosses unchanged with the filter off", off, off, "",
            R"(HELLO: "A16" "A17" 1 2 "MASTER" 6 7 8)", R"(HELLO: "A16" "A17" 1 2 "MASTER" 6 7 8)",
            toWan);
        // The server passes no heartbeat on, and B would drop it anyway.
        row("HEARTBEAT from a LAN station goes into the tunnel only", off, off, "",
            R"(HEARTBEAT: "A18" "" )", "", toWan);
        row("unknown keyword crosses", off, off, "", R"(CHAT: "A19" "" "hello")",
            R"(CHAT: "A19" "" "hello")", toWan);

        row("TIME stays with the filter on", on, on, "", R"(TIME: "A20" "" 1733804400)", "",
            "From LAN (DROPPED - TIME) : %s");
        row("HELLO MASTER arrives as SLAVE to all with the filter on", on, on, "",
            R"(HELLO: "A21" "A22" 1 2 "MASTER" 6 7 8)", R"(HELLO: "A21" "" 1 2 "SLAVE" 6 7 8)",
            "From LAN (MODIFIED - HELLO / MASTER) : %s");

        row("TIME from a site without the filter is dropped by one with it", off, on, "",
            R"(TIME: "A23" "" 1733804400)", "", toWan, "From WAN (DROPPED - TIME) : %s");
    }

    void relayRules() {
        QFETCH(bool, filterA);
        QFETCH(bool, filterB);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, arrives);
        QFETCH(QByteArray, logA);
        QFETCH(QByteArray, logB);
        QVERIFY(Sites(filterA, filterB));
        CKavlinkSite& a = *m_a;
        CKavlinkSite& b = *m_b;
        const qsizetype fromA = a.Lan().Received().size();
        const qsizetype fromB = b.Lan().Received().size();
        QList<QByteArray> expectA;
        QList<QByteArray> expectB;
        if (!before.isEmpty()) {
            QVERIFY(Reaches(b, a, before));
            expectA << before;
        }
        a.Lan().Send(sent);
        // Each path keeps order: once the markers are through, whatever the message set off
        // on either site, bounces included, has arrived too.
        const QByteArray markA = Marker("AM");
        const QByteArray markB = Marker("BM");
        QVERIFY(Reaches(a, b, markA));
        QVERIFY(Reaches(b, a, markB));
        if (!arrives.isEmpty())
            expectB << arrives;
        expectB << markA;
        expectA << markB;
        QCOMPARE(HeardFromOthers(b.Lan(), fromB, {before, markB}), expectB);
        QCOMPARE(HeardFromOthers(a.Lan(), fromA, {sent, markA}), expectA);

        const QByteArray handled = arrives.isEmpty() ? sent : arrives;
        QCOMPARE(a.LogCount(logA.replace("%s", handled)), 1);
        if (!logB.isEmpty())
            QCOMPARE(b.LogCount(logB.replace("%s", handled)), 1);
        if (!arrives.isEmpty())
            QCOMPARE(b.LogCount("From WAN (TO LAN) : " + arrives), 1);
        // Only IHAVEWAN from A's own LAN names a tunnel, never a copy from the WAN.
        QCOMPARE(b.LogCount("Tunnel named"), 0);
    }

    void bothSitesRelayAgainAfterServerRestart() {
        QVERIFY(Sites(m_filterA, m_filterB));
        CKavlinkSite& a = *m_a;
        CKavlinkSite& b = *m_b;
        const qsizetype closedA = a.LogCount("Tunnel disconnected");
        const qsizetype closedB = b.LogCount("Tunnel disconnected");
        const qsizetype attemptsA = a.LogCount("Connecting tunnel...");
        const qsizetype attemptsB = b.LogCount("Connecting tunnel...");
        const quint16 port = m_relay->Port();

        QElapsedTimer clock;
        clock.start();
        m_relay->Kill();
        QCOMPARE(m_relay->Start(port), port);
        QTRY_VERIFY_WITH_TIMEOUT(a.LogCount("Tunnel disconnected") == closedA + 1 &&
                                     b.LogCount("Tunnel disconnected") == closedB + 1,
                                 kWaitMs);
        const qint64 noticedMs = clock.elapsed();
        QTRY_COMPARE_WITH_TIMEOUT(m_relay->LoggedIn(), 2, kReconnectWaitMs);
        const qint64 loggedInMs = clock.elapsed();
        qInfo("measured: both sites saw the server die within %lld ms and were logged in to the "
              "restarted server %lld ms after the kill",
              noticedMs, loggedInMs);
        QVERIFY2(loggedInMs >= 4000 && loggedInMs <= 10000,
                 qPrintable(QString::number(loggedInMs)));
        // The restarted server was up before the first new attempt.
        QCOMPARE(a.LogCount("Connecting tunnel..."), attemptsA + 1);
        QCOMPARE(b.LogCount("Connecting tunnel..."), attemptsB + 1);

        QVERIFY(Reaches(a, b, Marker("AM")));
        QVERIFY(Reaches(b, a, Marker("BM")));
        QVERIFY(a.IsRunning() && b.IsRunning());
    }
};

QTEST_MAIN(TestTwoSites)
#include "TestTwoSites.moc"
