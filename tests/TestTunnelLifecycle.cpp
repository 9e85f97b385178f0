// More of the relay hub driven directly, with the same fixture as TestTunnelHub: log-in
// state, what counts as WAN activity, the station watchdog, the receive buffer at log-in,
// the heartbeat timer and replacing a live connection.
#include "CDebugLog.h"
#include "CHubSite.h"
#include "CTcpClient.h"
#include "CTunnelHub.h"
#include "Settings.h"
#include "TunnelLine.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using Site = CHubSite;

class TestTunnelLifecycle : public QObject {
    Q_OBJECT

private slots:
    // Before log-in nothing from the LAN crosses or is logged, whatever the rules would say.
    void lanBeforeLogInIgnored_data() {
        QTest::addColumn<bool>("loginAnswered");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("awaiting login, relayable") << false << QByteArray("ADDQSO: \"L1\" \"\" 1");
        QTest::newRow("awaiting password, relayable")
            << true << QByteArray("ADDQSO: \"L1\" \"\" 1");
        QTest::newRow("awaiting login, dropped by a rule")
            << false << QByteArray("RCVDPKT: \"L1\" \"\" x");
        QTest::newRow("awaiting password, tunnel naming")
            << true << QByteArray("IHAVEWAN: \"OP1\" \"\" 1");
    }
    void lanBeforeLogInIgnored() {
        QFETCH(bool, loginAnswered);
        QFETCH(QByteArray, text);
        Site site;
        QVERIFY(site.Connect(false));
        if (loginAnswered) {
            site.Feed("login:");
            QCOMPARE(site.Sent(), QByteArray("user\n"));
        }
        site.LogLines();
        site.Lan(text);
        QCOMPARE(site.Sent(), QByteArray());
        QCOMPARE(site.LogLines(), QStringList{});
        QCOMPARE(site.hub->TunnelName(), std::string("~"));
    }

    // Only a line taken as a message keeps the tunnel: prompts and dropped lines do not.
    void notWanActivity_data() {
        QTest::addColumn<bool>("duringLogIn");
        QTest::addColumn<QByteArray>("bytes");
        QByteArray badChecksum = Line("ADDQSO: \"A\" \"\" 1");
        badChecksum[badChecksum.size() - 1] = char(badChecksum.back() ^ 1);
        QByteArray longText = "ADDQSO: \"A\" \"\" ";
        longText += QByteArray(1023 - longText.size(), 'x');
        QTest::newRow("log-in prompts") << true << QByteArray();
        QTest::newRow("bad checksum") << false << badChecksum;
        QTest::newRow("two fields") << false << Line("ADDQSO: \"A\"");
        QTest::newRow("1024 bytes") << false << Line(longText);
    }
    void notWanActivity() {
        QFETCH(bool, duringLogIn);
        QFETCH(QByteArray, bytes);
        Site site;
        const std::int64_t start = site.Second();
        QVERIFY(site.Connect(!duringLogIn));
        site.Advance(30);
        if (duringLogIn) {
            site.Feed("login:");
            site.Feed("password:");
            QCOMPARE(site.hub->State(), TunnelState::LoggedIn);
        } else {
            for (qsizetype at = 0; at < bytes.size(); at += 255)
                site.Feed(bytes.mid(at, 255));
            QVERIFY(site.lan.empty());
        }
        QCOMPARE(site.hub->LastWanActivity(), start);
        site.LogLines();
        site.Advance(31);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QCOMPARE(site.LogLines().filter("WAN timeout"),
                 QStringList{"Disconnecting tunnel (WAN timeout)"});
        QCOMPARE(site.hub->State(), TunnelState::Disconnected);
    }

    // The watchdog forgets a far station 300 s after it was last seen while the link stays up.
    void watchdogExpiresStationsAt300Seconds() {
        Site site;
        QVERIFY(site.Connect());
        const std::int64_t seen = site.Second();
        site.Feed(Line("ADDQSO: \"W1\" \"\" 1"));
        site.LogLines();
        while (site.Second() < seen + 300) {
            site.Advance(50);
            site.Feed(Line("HEARTBEAT: \"~far\" \"\" "));
            site.hub->OnTimer(TunnelTimer::Watchdog);
        }
        QCOMPARE(site.Second(), seen + 300);
        QVERIFY(site.hub->WanStations().IsWanStation("W1"));
        site.Advance(1);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QVERIFY(!site.hub->WanStations().IsWanStation("W1"));
        QCOMPARE(site.LogLines().filter("WAN stations"),
                 QStringList{"W1 removed from WAN stations (timeout)"});
        QCOMPARE(site.hub->State(), TunnelState::LoggedIn);
        // A LAN message from W1 is now a LAN station's again and crosses.
        site.Lan("ADDQSO: \"W1\" \"\" 2");
        QCOMPARE(site.Sent(), Line("ADDQSO: \"W1\" \"\" 2"));
    }

    // Half a line from before a reconnection never joins the first line after it.
    void receiveBufferEmptiedAtLogIn() {
        Site site;
        QVERIFY(site.Connect());
        const QByteArray b = Line("ADDQSO: \"B\" \"\" 2");
        site.Feed("ADDQSO: \"A\" \"\" 1 ");
        QVERIFY(site.hub->ReceiveBuffered() > 0);
        site.hub->OnTunnelClosed();
        QVERIFY(site.Connect());
        QCOMPARE(site.hub->ReceiveBuffered(), std::size_t{0});
        site.Feed(b);
        QCOMPARE(site.lan, std::vector<std::string>{"ADDQSO: \"B\" \"\" 2"});
    }

    void heartbeatTimerFollowsSetting_data() {
        QTest::addColumn<int>("heartBeat");
        QTest::newRow("HeartBeat=0") << 0;
        QTest::newRow("HeartBeat=1") << 1;
    }
    void heartbeatTimerFollowsSetting() {
        QFETCH(int, heartBeat);
        Site site(heartBeat);
        QVERIFY(site.Connect(false));
        QVERIFY(site.hub->IsTimerRunning(TunnelTimer::Watchdog));
        QCOMPARE(site.hub->TimerPeriodMs(TunnelTimer::Watchdog), 1000);
        QVERIFY(!site.hub->IsTimerRunning(TunnelTimer::Heartbeat));
        site.Feed("login:");
        site.Feed("password:");
        QCOMPARE(site.hub->IsTimerRunning(TunnelTimer::Heartbeat), heartBeat != 0);
        if (heartBeat != 0)
            QCOMPARE(site.hub->TimerPeriodMs(TunnelTimer::Heartbeat), 15000);
        // The setting switched off before a reconnection stops the heartbeat.
        site.settings.HeartBeat = 0;
        site.hub->OnTunnelClosed();
        QCOMPARE(site.hub->TimerPeriodMs(TunnelTimer::Reconnect), 5000);
        QVERIFY(!site.hub->IsTimerRunning(TunnelTimer::Heartbeat));
        QVERIFY(site.Connect());
        QVERIFY(!site.hub->IsTimerRunning(TunnelTimer::Heartbeat));
    }

    void heartbeatCarriesTunnelName() {
        Site site(1);
        QVERIFY(site.Connect());
        site.Lan("IHAVEWAN: \"OP1\" \"\" 1");
        QCOMPARE(site.Sent(), Line("IHAVEWAN: \"OP1\" \"\" 1"));
        site.hub->OnTimer(TunnelTimer::Heartbeat);
        QCOMPARE(site.Sent(), Line("HEARTBEAT: \"~OP1\" \"\" "));
    }

    // A new connection replaces a live one: the server sees the old one end.
    void replacingLiveConnectionClosesIt() {
        Site site;
        QVERIFY(site.Connect());
        QTcpSocket* old = site.peer.release();
        std::unique_ptr<QTcpSocket> owner(old);
        site.hub->ConnectTunnel(true);
        QTRY_COMPARE(old->state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(site.server.hasPendingConnections());
    }
};

QTEST_GUILESS_MAIN(TestTunnelLifecycle)
#include "TestTunnelLifecycle.moc"
