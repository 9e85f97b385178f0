// The calendar clock set an hour forward or back (NTP, or a TIME message of the logging
// network) while the tunnel runs: no time-out, expiry, period or age may change with it; only
// the dates shown move.
#include "CHubSite.h"
#include "CTunnelHub.h"
#include "TestKit.h"

#include <QTest>

using Site = CHubSite;

namespace {
void AddWallSteps() {
    QTest::addColumn<qint64>("step");
    QTest::newRow("wall clock +1 h") << qint64{3600};
    QTest::newRow("wall clock -1 h") << qint64{-3600};
}

bool LoggedIn(const Site& site) {
    return site.hub->State() == TunnelState::LoggedIn;
}
} // namespace

class TestClockSteps : public QObject {
    Q_OBJECT

private slots:
    // A healthy tunnel is not dropped by the step, and a silent one still is after 60 s.
    void wanTimeout_data() { AddWallSteps(); }
    void wanTimeout() {
        QFETCH(qint64, step);
        Site site;
        QVERIFY(site.Connect());
        site.Advance(10);
        site.now += step;
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QVERIFY(LoggedIn(site));
        site.Advance(50);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QVERIFY(LoggedIn(site));
        site.LogLines();
        site.Advance(1);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QCOMPARE(site.LogLines().first(), QString("Disconnecting tunnel (WAN timeout)"));
    }

    // Our own heartbeat keeps the tunnel whichever way the wall clock went between beats.
    void heartbeatKeepsTunnel_data() { AddWallSteps(); }
    void heartbeatKeepsTunnel() {
        QFETCH(qint64, step);
        Site site(1);
        QVERIFY(site.Connect());
        for (int beat = 0; beat < 8; ++beat) {
            site.Advance(15);
            if (beat == 2)
                site.now += step;
            site.hub->OnTimer(TunnelTimer::Watchdog);
            site.hub->OnTimer(TunnelTimer::Heartbeat);
        }
        QVERIFY(LoggedIn(site));
        QCOMPARE(site.Sent().count("HEARTBEAT"), 8);
    }

    // A far station stays its 300 s, no less and no more.
    void stationExpiry_data() { AddWallSteps(); }
    void stationExpiry() {
        QFETCH(qint64, step);
        Site site;
        QVERIFY(site.Connect());
        site.Feed(Line("ADDQSO: \"W1\" \"\" 1"));
        site.now += step;
        for (int elapsed = 0; elapsed < 300; elapsed += 50) {
            site.Advance(50);
            site.Feed(Line("HEARTBEAT: \"~far\" \"\" "));
            site.hub->OnTimer(TunnelTimer::Watchdog);
            QVERIFY(site.hub->WanStations().IsWanStation("W1"));
        }
        site.LogLines();
        site.Advance(1);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QVERIFY(!site.hub->WanStations().IsWanStation("W1"));
        QCOMPARE(site.LogLines(), QStringList{"W1 removed from WAN stations (timeout)"});
    }

    // The echo of a line broadcast for the tunnel is recognised for its 30 s, no less and no
    // more: a step must neither send it back into the tunnel nor hold it for an hour.
    void echoMemory_data() { AddWallSteps(); }
    void echoMemory() {
        QFETCH(qint64, step);
        Site site;
        QVERIFY(site.Connect());
        const QByteArray reply =
            "INVENTORY: \"~B\" \"L1\" \"STATUS\" 5 3 -1 -1 -1 -1 7 \"Kavlink v1.18.0 [ht]\"";
        site.Feed(Line(reply));
        site.Feed(Line(reply));
        site.now += step;
        site.Lan(reply);
        QCOMPARE(site.Sent(), QByteArray());
        site.Advance(31);
        site.Lan(reply);
        QCOMPARE(site.Sent(), Line(reply));
    }

    // The status window's ages and times left, and when the next attempt comes, are kept;
    // the dates shown follow the clock as it now reads.
    void statusAges_data() { AddWallSteps(); }
    void statusAges() {
        QFETCH(qint64, step);
        Site site;
        QVERIFY(site.Connect());
        site.Feed(Line("ADDQSO: \"W1\" \"\" 1"));
        site.Advance(10);
        site.now += step;
        HubStatus status = site.hub->Status();
        QCOMPARE(status.now, site.now);
        QCOMPARE(status.now - status.tunnelSince, 10);
        QCOMPARE(status.farStations.size(), 1u);
        QCOMPARE(status.farStations[0].lastHeard + status.stationLifetime - status.now, 290);
        site.hub->OnTunnelClosed();
        site.Advance(2);
        site.now -= step;
        status = site.hub->Status();
        QCOMPARE(status.now - status.lastDisconnect, 2);
        QCOMPARE(status.nextReconnect - status.now, 3);
        QCOMPARE(site.hub->TimerPeriodMs(TunnelTimer::Reconnect), 5000);
    }
};

QTEST_GUILESS_MAIN(TestClockSteps)
#include "TestClockSteps.moc"
