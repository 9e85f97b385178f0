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

Q_DECLARE_METATYPE(TunnelState)

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

    // A server that accepts and then says nothing is timed out at 60 s and tried again 5 s
    // later, whether it stalls before its prompt or, with TLS, inside the handshake.
    void silentServerTimedOutFromTheTcpConnect_data() {
        QTest::addColumn<int>("tls");
        QTest::addColumn<TunnelState>("stalledIn");
        QTest::newRow("plain, no prompt") << 0 << TunnelState::AwaitLogin;
        QTest::newRow("TLS, no handshake") << 1 << TunnelState::Connecting;
    }
    void silentServerTimedOutFromTheTcpConnect() {
        QFETCH(int, tls);
        QFETCH(TunnelState, stalledIn);
        Site site;
        site.settings.Tls = tls;
        site.hub->ConnectTunnel();
        QVERIFY(site.server.waitForNewConnection(5000));
        site.peer.reset(site.server.nextPendingConnection());
        QTRY_VERIFY(site.hub->IsTimerRunning(TunnelTimer::Watchdog));
        QVERIFY(!site.hub->IsTimerRunning(TunnelTimer::Connect));
        QCOMPARE(site.hub->State(), stalledIn);
        site.LogLines();
        site.Advance(60);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QCOMPARE(site.hub->State(), stalledIn);
        site.Advance(1);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QCOMPARE(site.hub->State(), TunnelState::Disconnected);
        QCOMPARE(site.LogLines().mid(0, 2),
                 (QStringList{"Disconnecting tunnel (WAN timeout)", "Tunnel disconnected"}));
        QVERIFY(site.hub->IsTimerRunning(TunnelTimer::Reconnect));
        QCOMPARE(site.hub->TimerPeriodMs(TunnelTimer::Reconnect), 5000);
    }

    // An attempt with no TCP connection after 10 s ends and is tried again 5 s later; one that
    // made its connection is judged by the watchdog instead.
    void connectAttemptBounded() {
        Site site;
        site.hub->ConnectTunnel();
        QVERIFY(site.hub->IsTimerRunning(TunnelTimer::Connect));
        QCOMPARE(site.hub->TimerPeriodMs(TunnelTimer::Connect), 10000);
        site.hub->OnTimer(TunnelTimer::Connect);
        QCOMPARE(site.hub->State(), TunnelState::Disconnected);
        QCOMPARE(site.hub->Status().lastCause, DisconnectCause::ConnectTimeout);
        QVERIFY(site.hub->IsTimerRunning(TunnelTimer::Reconnect));
        QVERIFY(site.LogLines().contains(
            "Disconnect cause : no connection within 10 s (server or path down?)"));

        site.hub->OnTimer(TunnelTimer::Reconnect);
        QVERIFY(site.server.waitForNewConnection(5000));
        site.peer.reset(site.server.nextPendingConnection());
        QTRY_COMPARE(site.hub->State(), TunnelState::AwaitLogin);
        QVERIFY(!site.hub->IsTimerRunning(TunnelTimer::Connect));
        site.hub->OnTimer(TunnelTimer::Connect);
        QCOMPARE(site.hub->State(), TunnelState::AwaitLogin);
    }

    // A TLS server drops a client that never starts the handshake before any prompt: the
    // cause asks whether that is the port; with TLS on, it asks nothing.
    void closedBeforePromptAsksForTheTlsPort() {
        Site site;
        QVERIFY(site.Connect(false));
        site.LogLines();
        site.peer->close();
        QTRY_COMPARE(site.hub->State(), TunnelState::Disconnected);
        QCOMPARE(site.hub->Status().lastCause, DisconnectCause::ClosedBeforePrompt);
        QVERIFY2(site.LogLines().contains(
                     "Disconnect cause : closed by the server before its login prompt; is this "
                     "the server's TLS port? Then tick \"Encrypted (TLS)\" in Options"),
                 "");
        // Once logged in, a close is the server's ordinary one.
        site.hub->OnTimer(TunnelTimer::Reconnect);
        QVERIFY(site.server.waitForNewConnection(5000));
        site.peer.reset(site.server.nextPendingConnection());
        QTRY_COMPARE(site.hub->State(), TunnelState::AwaitLogin);
        site.Feed("login:");
        site.Feed("password:");
        site.peer->close();
        QTRY_COMPARE(site.hub->State(), TunnelState::Disconnected);
        QCOMPARE(site.hub->Status().lastCause, DisconnectCause::ClosedByServer);
    }

    // A server that stops reading: lines wait in the paced queue, not in the socket, and
    // every line offered is accounted for: relayed (handed to the kernel), still waiting,
    // or lost with the connection.
    void serverNotReadingFillsTheQueueNotTheSocket() {
        Site site;
        QVERIFY(site.Connect());
        site.peer->setReadBufferSize(1);
        const QByteArray text = "ADDQSO: \"L1\" \"\" " + QByteArray(200, 'x');
        std::uint64_t offered = 0;
        for (int i = 0; i < 50000 && site.hub->Pacer().Waiting() < 200; ++i) {
            site.Lan(text + QByteArray::number(i));
            ++offered;
            site.monotonic += 1'000'000;
            site.hub->PaceTunnel();
            QCoreApplication::processEvents();
        }
        QCOMPARE(site.hub->Pacer().Waiting(), 200u);
        CTcpClient* client = site.hub->TunnelClient();
        QVERIFY(client->PendingBytes() <= text.size() + 16);
        const HubStatus before = site.hub->Status();
        QVERIFY(before.toWan.relayed + 200 <= offered);
        QVERIFY(before.toWan.relayed + 201 >= offered);
        site.peer->abort();
        QTRY_COMPARE(site.hub->State(), TunnelState::Disconnected);
        const HubStatus after = site.hub->Status();
        QCOMPARE(after.toWan.relayed + after.toWan[DropReason::LostAtDisconnect], offered);
    }

    // A broadcast address that is no IPv4 address: said once at the LAN's opening, and every
    // message from the tunnel that cannot reach the LAN is counted and summed in the log,
    // never counted as relayed.
    void unusableBroadcastAddressIsReported() {
        Site site;
        CUdpPortLease lanPort;
        site.settings.BroadcastAddress = "192.168.1.300";
        site.settings.LanPortNumber = lanPort.Port();
        site.hub->SetLanSender(nullptr);
        site.hub->OpenLan();
        QVERIFY(site.LogLines().contains(
            "LAN broadcast address \"192.168.1.300\" is not an IPv4 address: nothing from the "
            "tunnel can reach the LAN. Correct \"Broadcast IP address\" in Options"));
        QVERIFY(site.Connect());
        for (int i = 0; i < 3; ++i)
            site.Feed(Line("ADDQSO: \"W1\" \"\" " + QByteArray::number(i)));
        HubStatus status = site.hub->Status();
        QVERIFY(!status.broadcastValid);
        QCOMPARE(status.toLan.relayed, 0u);
        QCOMPARE(status.toLan[DropReason::LanSendFailed], 3u);
        site.Advance(2);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        const QStringList lines = site.LogLines();
        QCOMPARE(lines.filter("LAN broadcast failed"),
                 (QStringList{"LAN broadcast failed: dropping messages to LAN",
                              "LAN broadcast failed: 3 messages to LAN dropped"}));
        QCOMPARE(lines.filter("TO LAN"), QStringList{});
    }
};

QTEST_GUILESS_MAIN(TestTunnelLifecycle)
#include "TestTunnelLifecycle.moc"
