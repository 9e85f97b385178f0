// The status text from hub states, and the last minute's rate it shows.
#include "CMinuteRate.h"
#include "StatusText.h"

#include <QTest>

#include <cstdlib>
#include <ctime>

Q_DECLARE_METATYPE(HubStatus)

namespace {
constexpr std::int64_t kNow = 1714564800; // 2024-05-01 12:00:00 UTC

HubStatus Base() {
    HubStatus s;
    s.now = kNow;
    s.host = "tunnel.example.org";
    s.port = 8001;
    s.login = "op";
    s.tunnelName = "~OP1";
    s.broadcastAddress = "127.255.255.255";
    s.lanPort = 12060;
    s.lanOpen = true;
    return s;
}
} // namespace

class TestStatusText : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The times are local times; pin the zone so that the rows read the same anywhere.
        qputenv("TZ", "UTC");
        tzset();
    }

    void text_data() {
        QTest::addColumn<HubStatus>("status");
        QTest::addColumn<QStringList>("lines"); // each a whole line of the text

        HubStatus traffic = Base();
        traffic.tunnel = HubStatus::Tunnel::LoggedIn;
        traffic.tunnelSince = kNow - 3725;
        traffic.toWan.relayed = 120;
        traffic.toLan.relayed = 5000;
        traffic.toWanLastMinute = 7;
        traffic.toLanLastMinute = 31;
        traffic.toWan[DropReason::Packet] = 3;
        traffic.toWan[DropReason::QueueFull] = 12;
        traffic.toWan[DropReason::StaleTime] = 1;
        traffic.heartbeatsReceived = 8;
        traffic.toLan[DropReason::Time] = 2;
        traffic.helloRewritten = 1;
        traffic.inventoryAnswered = 4;
        QTest::newRow("logged in with traffic")
            << traffic
            << QStringList{
                   "Kavlink status at 2024-05-01 12:00:00",
                   "  State            logged in since 2024-05-01 10:57:55 (1 h 02 min)",
                   "  Server           tunnel.example.org port 8001",
                   "  Login            op",
                   "  Tunnel name      ~OP1 (the name the tunnel carries to the other sites)",
                   "  Port             12060, broadcast to 127.255.255.255, open",
                   "Messages since start                    LAN to tunnel  tunnel to LAN",
                   "  relayed                                         120           5000",
                   "  relayed in the last minute                        7             31",
                   "  HELLO rewritten (MASTER to SLAVE)                 1              -",
                   "  inventory requests answered                       4              -",
                   "  HEARTBEAT received (keeps it up)                  -              8",
                   "    PACKET                                          3              -",
                   "    TIME                                            0              2",
                   "    tunnel queue full                              12              -",
                   "    TIME waited over 2 s in the queue               1              -",
                   "Far stations (0)",
                   "  none heard",
               };

        HubStatus timedOut = Base();
        timedOut.tunnel = HubStatus::Tunnel::Disconnected;
        timedOut.tunnelSince = kNow - 2;
        timedOut.downSince = kNow - 25;
        timedOut.attemptsSinceDown = 4;
        timedOut.lastDisconnect = kNow - 2;
        timedOut.lastCause = DisconnectCause::WanTimeout;
        timedOut.nextReconnect = kNow + 3;
        timedOut.lanOpen = false;
        QTest::newRow("reconnecting after a time-out")
            << timedOut
            << QStringList{
                   "  State            not connected since 2024-05-01 11:59:35 (25 s)",
                   "  Attempts         4 since then",
                   "  Last disconnect  2024-05-01 11:59:58, time-out (nothing from the tunnel "
                   "for 60 s)",
                   "  Next attempt     2024-05-01 12:00:03 (in 3 s)",
                   "  Port             12060, broadcast to 127.255.255.255, NOT open (port in use "
                   "or invalid?)",
               };

        const std::vector<std::tuple<const char*, DisconnectCause, const char*>> causes = {
            {"closed by the server", DisconnectCause::ClosedByServer, "closed by the server"},
            {"refused", DisconnectCause::Refused, "connection refused"},
            {"unresolvable host", DisconnectCause::HostNotFound, "host name not found"},
            {"other error, with the socket's words", DisconnectCause::NetworkError,
             "network error: Network unreachable"},
        };
        for (const auto& [name, cause, text] : causes) {
            HubStatus s = Base();
            s.lastDisconnect = kNow - 60;
            s.lastCause = cause;
            s.causeDetail = "Network unreachable";
            QTest::newRow(name) << s
                                << QStringList{QString("  Last disconnect  2024-05-01 11:59:00, ") +
                                               text};
        }

        // Whether the tunnel is encrypted, and a broadcast address that cannot be sent to.
        HubStatus clear = Base();
        clear.broadcastValid = false;
        clear.broadcastAddress = "192.168.1.300";
        clear.toLan[DropReason::LanSendFailed] = 9;
        QTest::newRow("in clear, broadcast address no IPv4 address")
            << clear
            << QStringList{"  Encryption       none, the tunnel is in clear",
                           "  Port             12060, broadcast to 192.168.1.300, open",
                           "                   The broadcast address is not an IPv4 address: "
                           "nothing from the tunnel reaches the LAN. Correct \"Broadcast IP "
                           "address\" in Options.",
                           "    broadcast on the LAN failed                     -              9"};
        HubStatus pinned = Base();
        pinned.tls = true;
        pinned.pinned = true;
        pinned.tunnel = HubStatus::Tunnel::LoggedIn;
        pinned.encrypted = true;
        QTest::newRow("TLS, pinned")
            << pinned
            << QStringList{"  Encryption       TLS, certificate pinned (\"Certificate SHA-256\"), "
                           "encrypted now"};
        HubStatus authority = Base();
        authority.tls = true;
        QTest::newRow("TLS, by authority")
            << authority
            << QStringList{
                   "  Encryption       TLS, certificate checked against the trusted authorities"};

        // The time down runs on across the attempts; the tunnel's name is explained.
        HubStatus retrying = Base();
        retrying.tunnel = HubStatus::Tunnel::Connecting;
        retrying.tunnelSince = kNow;
        retrying.downSince = kNow - 3600;
        retrying.attemptsSinceDown = 1;
        retrying.tunnelName = "~";
        QTest::newRow("connecting an hour after the tunnel went down, unnamed")
            << retrying
            << QStringList{
                   "  State            connecting, down since 2024-05-01 11:00:00 (1 h 00 min)",
                   "  Attempts         1 since then",
                   "  Tunnel name      not named yet (a local station's IHAVEWAN names it)"};

        HubStatus connecting = Base();
        connecting.tunnel = HubStatus::Tunnel::AwaitPassword;
        connecting.host.clear();
        connecting.login.clear();
        QTest::newRow("waiting for a prompt, nothing configured")
            << connecting
            << QStringList{"  State            waiting for the password prompt",
                           "  Server           (none)", "  Login            (none)"};

        // Stored text, read as the options dialog reads it: UTF-8 if valid, else Latin-1.
        HubStatus stored = Base();
        stored.host = "h\xF4te.example";
        stored.login = "K\xC3\xB6ln\x01";
        QTest::newRow("server and login as stored")
            << stored
            << QStringList{"  Server           h\u00F4te.example port 8001",
                           "  Login            K\u00F6ln?"};

        HubStatus stations = Base();
        stations.farStations = {{"W1", kNow - 100, kNow - 5},
                                {"K\xE9X\n", kNow - 400, kNow - 299},
                                {"LONGSTATIONNAME", kNow - 50, kNow - 300}};
        QTest::newRow("far stations, network text shown safely")
            << stations
            << QStringList{
                   "Far stations (3)",
                   "  Name             First heard          Last heard           Time left",
                   "  W1               2024-05-01 11:58:20  2024-05-01 11:59:55  4 min 55 s",
                   "  K\u00E9X?             2024-05-01 11:53:20  2024-05-01 11:55:01  1 s",
                   "  LONGSTATIONNAME  2024-05-01 11:59:10  2024-05-01 11:55:00  0 s",
               };
    }
    void text() {
        QFETCH(HubStatus, status);
        QFETCH(QStringList, lines);
        const std::string text = StatusText(status);
        QVERIFY(!text.empty() && text.back() == '\n');
        const QStringList got = QString::fromStdString(text).split('\n');
        for (const QString& line : lines)
            QVERIFY2(got.contains(line), qPrintable("missing: " + line + "\n" + got.join('\n')));
    }

    void minuteRate_data() {
        QTest::addColumn<QList<int>>("seconds"); // one event at each
        QTest::addColumn<int>("at");
        QTest::addColumn<int>("expected");
        QTest::newRow("none") << QList<int>{} << 100 << 0;
        QTest::newRow("same second") << QList<int>{100, 100, 100} << 100 << 3;
        QTest::newRow("59 s ago still counts") << QList<int>{41, 100} << 100 << 2;
        QTest::newRow("60 s ago no longer") << QList<int>{40, 100} << 100 << 1;
        QTest::newRow("slot reused after a minute") << QList<int>{40, 40, 100} << 100 << 1;
        QTest::newRow("long silence") << QList<int>{1, 2, 3} << 5000 << 0;
        QTest::newRow("negative seconds") << QList<int>{-61, -1, 0} << 0 << 2;
    }
    void minuteRate() {
        QFETCH(QList<int>, seconds);
        QFETCH(int, at);
        QFETCH(int, expected);
        CMinuteRate rate;
        for (const int second : seconds)
            rate.Add(second);
        QCOMPARE(rate.LastMinute(at), std::uint64_t(expected));
    }
};

QTEST_APPLESS_MAIN(TestStatusText)
#include "TestStatusText.moc"
