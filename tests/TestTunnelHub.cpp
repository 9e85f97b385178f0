// The relay hub driven directly: chunks and LAN texts fed to its handlers, timer ticks called
// by hand, the clock a plain number. The tunnel is a real loopback connection; what the hub
// writes into it is recorded as the socket takes it, and read back byte for byte at its far
// end where that matters.
#include "CDebugLog.h"
#include "CDropTally.h"
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

namespace {

// Every counter of a status by name: "wan relayed", "lan 3" (a DropReason), "hello", "inventory".
QMap<QString, quint64> Counters(const HubStatus& status) {
    QMap<QString, quint64> counters{{"wan relayed", status.toWan.relayed},
                                    {"lan relayed", status.toLan.relayed},
                                    {"hello", status.helloRewritten},
                                    {"inventory", status.inventoryAnswered},
                                    {"heartbeats", status.heartbeatsReceived}};
    for (int i = 0; i < int(DropReason::Count); ++i) {
        counters.insert(QString("wan %1").arg(i), status.toWan[DropReason(i)]);
        counters.insert(QString("lan %1").arg(i), status.toLan[DropReason(i)]);
    }
    return counters;
}

QString Wan(DropReason reason) {
    return QString("wan %1").arg(int(reason));
}

QString Lan(DropReason reason) {
    return QString("lan %1").arg(int(reason));
}

} // namespace

class TestTunnelHub : public QObject {
    Q_OBJECT

private slots:
    // Each prompt is read from the stream: answered when a read leaves the stream ending with
    // it, however it was cut and whatever came before. A read that ends past it (a blank, CR LF
    // after it) is not answered, and the prompt sent again by itself is.
    void logInPromptsFromTheStream_data() {
        QTest::addColumn<QByteArray>("prompt");
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<bool>("answered");
        for (const QByteArray& prompt : {QByteArray("login:"), QByteArray("password:")}) {
            const auto row = [&](const QString& name) -> QTestData& {
                return QTest::newRow(qPrintable(QString::fromLatin1(prompt) + " " + name))
                       << prompt;
            };
            row("whole") << QList<QByteArray>{prompt} << true;
            for (qsizetype at = 1; at < prompt.size(); ++at) {
                row(QString("split after %1").arg(at))
                    << QList<QByteArray>{prompt.left(at), prompt.mid(at)} << true;
                row(QString("%1 bytes of it, then all of it").arg(at))
                    << QList<QByteArray>{prompt.left(at), prompt} << true;
            }
            QList<QByteArray> bytes;
            for (const char c : prompt)
                bytes << QByteArray(1, c);
            row("one byte at a time") << bytes << true;
            row("text before") << QList<QByteArray>{"Welcome\r\n" + prompt} << true;
            row("text before, split")
                << QList<QByteArray>{"x" + prompt.left(2), prompt.mid(2)} << true;
            row("trailing blank") << QList<QByteArray>{prompt + " "} << false;
            row("trailing blank, split")
                << QList<QByteArray>{prompt.left(3), prompt.mid(3) + " "} << false;
            row("CR LF after") << QList<QByteArray>{prompt + "\r\n"} << false;
            row("in the middle of a read") << QList<QByteArray>{prompt + "x"} << false;
            row("both prompts in one read")
                << QList<QByteArray>{prompt.left(2),
                                     prompt.mid(2) + (prompt == "login:" ? "password:" : "login:")}
                << false;
        }
    }
    void logInPromptsFromTheStream() {
        QFETCH(QByteArray, prompt);
        QFETCH(QList<QByteArray>, reads);
        QFETCH(bool, answered);
        Site site;
        QVERIFY(site.Connect(false));
        const bool isPassword = prompt == "password:";
        if (isPassword) {
            site.Feed("login:");
            QCOMPARE(site.Sent(), QByteArray("user\n"));
        }
        const QByteArray answer = isPassword ? "secret\n" : "user\n";
        const TunnelState waiting =
            isPassword ? TunnelState::AwaitPassword : TunnelState::AwaitLogin;
        const TunnelState next = isPassword ? TunnelState::LoggedIn : TunnelState::AwaitPassword;
        for (const QByteArray& read : reads)
            site.Feed(read);
        QCOMPARE(site.Sent(), answered ? answer : QByteArray());
        QCOMPARE(site.hub->State(), answered ? next : waiting);
        if (!answered) {
            site.Feed(prompt);
            QCOMPARE(site.Sent(), answer);
        }
    }

    void logInThenPromptsAreData() {
        Site site(1);
        QVERIFY(site.Connect(false));
        QCOMPARE(site.view.animating, 1);
        site.Feed("login:");
        site.Feed("password:");
        QCOMPARE(site.hub->State(), TunnelState::LoggedIn);
        QVERIFY(site.hub->IsTimerRunning(TunnelTimer::Heartbeat));
        QCOMPARE(site.Sent(), QByteArray("user\nsecret\n"));
        // A prompt after log-in is tunnel data, never answered.
        site.Feed("login:");
        QCOMPARE(site.Sent(), QByteArray());
        for (const QString& line : site.LogLines())
            QVERIFY2(!line.contains("secret"), qPrintable(line));
        // What was recorded is what the server end reads.
        QCOMPARE(site.Wire(12), QByteArray("user\nsecret\n"));
    }

    void framing_data() {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QStringList>("broadcast");
        const QByteArray a = Line("ADDQSO: \"A\" \"\" 1");
        const QByteArray b = Line("ADDQSO: \"B\" \"\" 2");
        const QByteArray c = Line("ADDQSO: \"C\" \"\" 3");
        QByteArray bad = b;
        bad[bad.size() - 1] = char(bad.back() ^ 1);
        QTest::newRow("two and a half lines")
            << QList<QByteArray>{a + b + c.left(5), c.mid(5)}
            << QStringList{"ADDQSO: \"A\" \"\" 1", "ADDQSO: \"B\" \"\" 2", "ADDQSO: \"C\" \"\" 3"};
        QTest::newRow("one line over several chunks")
            << QList<QByteArray>{a.left(3), a.mid(3, 4), a.mid(7)}
            << QStringList{"ADDQSO: \"A\" \"\" 1"};
        QTest::newRow("bad checksum then good")
            << QList<QByteArray>{bad + c} << QStringList{"ADDQSO: \"C\" \"\" 3"};
        QTest::newRow("too few fields")
            << QList<QByteArray>{Line("ADDQSO: \"A\""), c} << QStringList{"ADDQSO: \"C\" \"\" 3"};
        QTest::newRow("empty sender")
            << QList<QByteArray>{Line("ADDQSO: \"\" \"\" 1")} << QStringList{};
        QTest::newRow("escaped bytes stay escaped")
            << QList<QByteArray>{Line("ADDQSO: \"A\" \"\" \xE9")}
            << QStringList{QString::fromLatin1("ADDQSO: \"A\" \"\" \x7F\x69")};
        const QByteArray junk(300, 'x');
        QTest::newRow("junk without line end is one overlong line, then relaying goes on")
            << QList<QByteArray>{junk, junk, junk, junk, a, b}
            << QStringList{"ADDQSO: \"B\" \"\" 2"};
    }
    void framing() {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, broadcast);
        Site site;
        QVERIFY(site.Connect());
        for (const QByteArray& chunk : chunks) {
            for (qsizetype at = 0; at < chunk.size(); at += 255) {
                site.Feed(chunk.mid(at, 255));
                QVERIFY(site.hub->ReceiveBuffered() < 1024);
            }
        }
        QStringList got;
        for (const std::string& t : site.lan)
            got << QString::fromLatin1(t.c_str());
        QCOMPARE(got, broadcast);
    }

    void lineLengthLimit_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("relayed");
        QTest::newRow("1023 with checksum") << 1023 << true;
        QTest::newRow("1024 with checksum") << 1024 << false;
    }
    void lineLengthLimit() {
        QFETCH(int, length);
        QFETCH(bool, relayed);
        Site site;
        QVERIFY(site.Connect());
        QByteArray text = "ADDQSO: \"A\" \"\" ";
        text += QByteArray(length - 1 - text.size(), 'x');
        const QByteArray line = Line(text);
        QCOMPARE(line.size(), length);
        for (qsizetype at = 0; at < line.size(); at += 255)
            site.Feed(line.mid(at, 255));
        QCOMPARE(site.lan.size(), relayed ? 1u : 0u);
        site.Feed(Line("ADDQSO: \"B\" \"\" 1"));
        QCOMPARE(site.lan.back(), std::string("ADDQSO: \"B\" \"\" 1"));
    }

    void wanKeywords_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("filter");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("stationEntered");
        QTest::newRow("heartbeat dropped")
            << QByteArray("HEARTBEAT: \"~x\" \"\" ") << 0
            << "From WAN (DROPPED - HEARTBEAT) : HEARTBEAT: \"~x\" \"\" " << false;
        QTest::newRow("time dropped with filter")
            << QByteArray("TIME: \"S1\" \"\" 12") << 1
            << "From WAN (DROPPED - TIME) : TIME: \"S1\" \"\" 12" << false;
        QTest::newRow("time relayed without filter")
            << QByteArray("TIME: \"S1\" \"\" 12") << 0 << "From WAN (TO LAN) : TIME: \"S1\" \"\" 12"
            << true;
        QTest::newRow("lower-case time is any keyword")
            << QByteArray("time: \"S1\" \"\" 12") << 1 << "From WAN (TO LAN) : time: \"S1\" \"\" 12"
            << true;
    }
    void wanKeywords() {
        QFETCH(QByteArray, text);
        QFETCH(int, filter);
        QFETCH(QString, logLine);
        QFETCH(bool, stationEntered);
        Site site(0, filter);
        QVERIFY(site.Connect());
        site.LogLines();
        site.Advance(50);
        site.Feed(Line(text));
        QCOMPARE(site.LogLines().filter("From WAN"), QStringList{logLine});
        QCOMPARE(site.hub->WanStations().IsWanStation("S1"), stationEntered);
        QCOMPARE(site.hub->LastWanActivity(), site.Second());
    }

    void wanTimeout() {
        Site site;
        QVERIFY(site.Connect());
        site.LogLines();
        site.Advance(60);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QCOMPARE(site.hub->State(), TunnelState::LoggedIn);
        site.Advance(1);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        QCOMPARE(site.LogLines(),
                 (QStringList{"Disconnecting tunnel (WAN timeout)", "Tunnel disconnected",
                              "Disconnect cause : time-out (nothing from the tunnel for 60 s)"}));
        QCOMPARE(site.hub->State(), TunnelState::Disconnected);
        QVERIFY(site.hub->TunnelClient() == nullptr);
        QVERIFY(site.hub->IsTimerRunning(TunnelTimer::Reconnect));
        QVERIFY(!site.hub->IsTimerRunning(TunnelTimer::Watchdog));
        QCOMPARE(site.view.animating, 0);
        site.hub->OnTimer(TunnelTimer::Reconnect);
        QCOMPARE(site.LogLines(), QStringList{"Connecting tunnel..."});
        QCOMPARE(site.hub->State(), TunnelState::Connecting);
        QVERIFY(!site.hub->IsTimerRunning(TunnelTimer::Reconnect));
    }

    void heartbeatKeepsTunnelAndHasExactBytes() {
        Site site(1);
        QVERIFY(site.Connect());
        const QByteArray beat = QByteArray("HEARTBEAT: \"~\" \"\" ") + '\xB0';
        for (int i = 0; i < 8; ++i) {
            site.Advance(15);
            site.hub->OnTimer(TunnelTimer::Heartbeat);
            QCOMPARE(site.Sent(), beat);
            site.hub->OnTimer(TunnelTimer::Watchdog);
        }
        QCOMPARE(site.hub->State(), TunnelState::LoggedIn);
        const QByteArray logIn = "user\nsecret\n";
        QCOMPARE(site.Wire(logIn.size() + 8 * beat.size()), logIn + beat.repeated(8));
    }

    void heartbeatOnlyWhenLoggedIn() {
        Site site(1);
        QVERIFY(site.Connect(false));
        site.hub->OnTimer(TunnelTimer::Heartbeat);
        QCOMPARE(site.Sent(), QByteArray());
    }

    void closedTwiceAndOptionsReconnect() {
        Site site;
        QVERIFY(site.Connect());
        site.Feed(Line("ADDQSO: \"S1\" \"\" 1"));
        site.LogLines();
        // Accepting the options while logged in: no disconnect line, table emptied.
        site.hub->ConnectTunnel(true);
        QCOMPARE(site.LogLines(), (QStringList{"Disconnect cause : reconnected after new options",
                                               "Connecting tunnel..."}));
        QVERIFY(!site.hub->WanStations().IsWanStation("S1"));
        QVERIFY(!site.hub->IsTimerRunning(TunnelTimer::Watchdog));
        site.hub->OnTunnelClosed();
        site.hub->OnTunnelClosed();
        // The second call has no connection of its own to give a cause for.
        const QStringList lines = site.LogLines();
        QCOMPARE(lines.filter("Tunnel disconnected").size(), 2);
        QCOMPARE(lines.filter("Disconnect cause : ").size(), 1);
        QCOMPARE(lines.size(), 3);
        QCOMPARE(site.hub->State(), TunnelState::Disconnected);
        // Untimely LAN messages are dropped silently.
        site.Lan("ADDQSO: \"L1\" \"\" 1");
        QCOMPARE(site.LogLines(), QStringList{});
    }

    void lanRules_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("filter");
        QTest::addColumn<QString>("logLine"); // empty: no line
        QTest::addColumn<QByteArray>("sent"); // empty: nothing to the tunnel
        auto relay = [](const char* t) {
            return std::make_tuple(QByteArray(t), QString("From LAN (TO WAN) : ") + t,
                                   QByteArray(t));
        };
        auto drop = [](const char* t, const char* why) {
            return std::make_tuple(
                QByteArray(t), QString("From LAN (DROPPED - %1) : %2").arg(why, t), QByteArray());
        };
        const std::vector<std::tuple<const char*, int, std::tuple<QByteArray, QString, QByteArray>>>
            rows = {
                {"ADDQSO to all", 0, relay("ADDQSO: \"L1\" \"\" 14000")},
                {"ADDQSO to LAN station", 0, drop("ADDQSO: \"L1\" \"L2\" 14000", "Local ADDQSO")},
                {"ADDQSO to WAN station", 0, relay("ADDQSO: \"L1\" \"W1\" 14000")},
                {"packet frame", 0, drop("RCVDPKT: \"L1\" \"\" x", "Packet Frames")},
                {"send packet", 0, drop("SENDPKT: \"L1\" \"\" x", "Packet Frames")},
                {"rotor read", 0, drop("READAZIMUTH: \"L1\" \"\" 1", "Rotor Frames")},
                {"rotor set", 0, drop("SETAZIMUTH: \"L1\" \"\" 1", "Rotor Frames")},
                {"IHAVELAN", 0, drop("IHAVELAN: \"L1\" \"W1\" 1", "IHAVELAN")},
                {"IHAVE", 0, drop("IHAVE: \"W1\" \"W1\" 1", "IHAVE (LAN)")},
                {"NEEDQSO", 0, drop("NEEDQSO: \"L1\" \"\" 1", "NEEDQSO (LAN)")},
                {"NEEDQSOWAN to all", 0,
                 drop("NEEDQSOWAN: \"L1\" \"\" 1", "NEEDQSOWAN recipient not external")},
                {"NEEDQSOWAN to WAN station", 0, relay("NEEDQSOWAN: \"L1\" \"W1\" 1")},
                {"TIME filtered", 1, drop("TIME: \"L1\" \"\" 5", "TIME")},
                {"TIME from WAN station filtered", 1, drop("TIME: \"W1\" \"\" 5", "TIME")},
                {"TIME unfiltered", 0, relay("TIME: \"L1\" \"\" 5")},
                {"HEARTBEAT from LAN", 0, relay("HEARTBEAT: \"L1\" \"\" ")},
                {"lower-case master", 1, relay("HELLO: \"L1\" \"\" 1 2 \"master\" 6 7 8")},
                {"HELLO with 8 fields", 1, relay("HELLO: \"L1\" \"\" 1 2 \"MASTER\" 6 7")},
                {"HELLO with 10 fields", 1, relay("HELLO: \"L1\" \"\" 1 2 \"MASTER\" 6 7 8 9")},
                {"HELLO unfiltered", 0, relay("HELLO: \"L1\" \"\" 1 2 \"MASTER\" 6 7 8")},
                {"from WAN station", 0, {"ADDQSO: \"W1\" \"\" 1", QString(), QByteArray()}},
                {"two fields", 0, {"ADDQSO: \"L1\"", QString(), QByteArray()}},
                {"empty keyword", 0, {"\"\" \"L1\" x", QString(), QByteArray()}},
                {"empty sender", 0, {"ADDQSO: \"\" \"\" 1", QString(), QByteArray()}},
            };
        for (const auto& [name, filter, row] : rows)
            QTest::newRow(name) << std::get<0>(row) << filter << std::get<1>(row)
                                << std::get<2>(row);
        QTest::newRow("HELLO master rewritten")
            << QByteArray("HELLO: \"L1\" \"X\" \"1\" 2 \"MASTER\" \"6\" 7 8") << 1
            << "From LAN (MODIFIED - HELLO / MASTER) : HELLO: \"L1\" \"\" 1 2 \"SLAVE\" 6 7 8\n"
               "From LAN (TO WAN) : HELLO: \"L1\" \"\" 1 2 \"SLAVE\" 6 7 8"
            << QByteArray("HELLO: \"L1\" \"\" 1 2 \"SLAVE\" 6 7 8");
        QTest::newRow("255 bytes handled")
            << "ADDQSO: \"L1\" \"\" " + QByteArray(255 - 16, 'x') << 0
            << "From LAN (TO WAN) : ADDQSO: \"L1\" \"\" " + QString(255 - 16, 'x')
            << "ADDQSO: \"L1\" \"\" " + QByteArray(255 - 16, 'x');
        QTest::newRow("256 bytes ignored")
            << "ADDQSO: \"L1\" \"\" " + QByteArray(256 - 16, 'x') << 0 << QString() << QByteArray();
    }
    void lanRules() {
        QFETCH(QByteArray, text);
        QFETCH(int, filter);
        QFETCH(QString, logLine);
        QFETCH(QByteArray, sent);
        Site site(0, filter);
        QVERIFY(site.Connect());
        site.Feed(Line("HELLO: \"W1\" \"\" 1"));
        QVERIFY(site.hub->WanStations().IsWanStation("W1"));
        site.Sent();
        site.LogLines();
        site.Lan(text);
        const QStringList lines = site.LogLines();
        QCOMPARE(lines.filter("From LAN"),
                 logLine.isEmpty() ? QStringList() : logLine.split(QChar('\n')));
        QCOMPARE(site.Sent(), sent.isEmpty() ? QByteArray() : Line(sent));
    }

    void tunnelNaming() {
        Site site;
        QVERIFY(site.Connect());
        site.LogLines();
        site.Lan("IHAVEWAN: \"OP1\" \"\" 1");
        site.Lan("IHAVEWAN: \"OP1\" \"\" 2");
        QCOMPARE(site.view.names, std::vector<std::string>{"~OP1"});
        site.Lan("IHAVEWAN: \"OP2\" \"\" 3");
        QCOMPARE(site.hub->TunnelName(), std::string("~OP2"));
        QCOMPARE(site.LogLines().filter("Tunnel named"),
                 (QStringList{"Tunnel named : ~OP1", "Tunnel named : ~OP2"}));
        // The name survives a reconnection and is the heartbeat's sender.
        site.hub->OnTunnelClosed();
        QCOMPARE(site.hub->TunnelName(), std::string("~OP2"));
    }

    void inventory_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("heartBeat");
        QTest::addColumn<int>("filter");
        QTest::addColumn<QByteArray>("lanReply"); // empty: none
        QTest::addColumn<QByteArray>("relayed");  // empty: not relayed
        const QByteArray tail = " -1 -1 -1 -1 123 \"x\"";
        QTest::newRow("broadcast, no bounds")
            << "INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 2" + tail << 0 << 0
            << QByteArray("INVENTORY: \"~\" \"STN1\" \"STATUS\" 5 3 -1 -1 -1 -1 123 "
                          "\"Kavlink v1.18.0 [ht]\"")
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 3 -1 -1 -1 -1 123 \"x\"");
        QTest::newRow("A below minimum")
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 2 6 -1 -1 -1 1 \"x\"") << 0 << 0
            << QByteArray()
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 3 6 -1 -1 -1 1 \"x\"");
        QTest::newRow("B + 1 above maximum")
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 3 -1 -1 -1 3 1 \"x\"") << 0 << 0
            << QByteArray()
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 4 -1 -1 -1 3 1 \"x\"");
        QTest::newRow("B + 1 at maximum, flags hT")
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 3 -1 -1 -1 4 1 \"x\"") << 0 << 1
            << QByteArray("INVENTORY: \"~\" \"STN1\" \"STATUS\" 5 4 -1 -1 -1 4 1 "
                          "\"Kavlink v1.18.0 [hT]\"")
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 4 -1 -1 -1 4 1 \"x\"");
        QTest::newRow("addressed to this tunnel, out of range")
            << QByteArray("INVENTORY: \"STN1\" \"~\" \"REQUEST\" 5 2 9 9 9 9 1 \"x\"") << 1 << 1
            << QByteArray("INVENTORY: \"~\" \"STN1\" \"STATUS\" 5 3 9 9 9 9 1 "
                          "\"Kavlink v1.18.0 [HT]\"")
            << QByteArray();
        QTest::newRow("addressed to another station")
            << "INVENTORY: \"STN1\" \"STN2\" \"REQUEST\" 5 2" + tail << 0 << 0 << QByteArray()
            << QByteArray("INVENTORY: \"STN1\" \"STN2\" \"REQUEST\" 5 3 -1 -1 -1 -1 123 \"x\"");
        QTest::newRow("token -1, digits with letters, 007, odd spacing")
            << QByteArray("INVENTORY:  STN1\t\"\"  REQUEST 007 2x -1 -1 -1 -1 -1 x") << 0 << 0
            << QByteArray("INVENTORY: \"~\" \"STN1\" \"STATUS\" 7 3 -1 -1 -1 -1 "
                          "18446744073709551615 \"Kavlink v1.18.0 [ht]\"")
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 7 3 -1 -1 -1 -1 "
                          "18446744073709551615 \"x\"");
        QTest::newRow("numbers saturate, B + 1 does not overflow")
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 99999999999 2147483647 -1 -1 -1 "
                          "-1 99999999999999999999 \"x\"")
            << 0 << 0
            << QByteArray("INVENTORY: \"~\" \"STN1\" \"STATUS\" 2147483647 2147483647 -1 -1 -1 -1 "
                          "9223372036854775807 \"Kavlink v1.18.0 [ht]\"")
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 2147483647 2147483647 -1 -1 -1 -1 "
                          "9223372036854775807 \"x\"");
        QTest::newRow("11 fields is no request")
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 2 -1 -1 -1 -1 123") << 0 << 0
            << QByteArray()
            << QByteArray("INVENTORY: \"STN1\" \"\" \"REQUEST\" 5 2 -1 -1 -1 -1 123");
        QTest::newRow("lower-case request is no request")
            << "INVENTORY: \"STN1\" \"\" \"request\" 5 2" + tail << 0 << 0 << QByteArray()
            << "INVENTORY: \"STN1\" \"\" \"request\" 5 2" + tail;
    }
    void inventory() {
        QFETCH(QByteArray, request);
        QFETCH(int, heartBeat);
        QFETCH(int, filter);
        QFETCH(QByteArray, lanReply);
        QFETCH(QByteArray, relayed);
        Site site(heartBeat, filter);
        QVERIFY(site.Connect());
        site.Lan(request);
        QCOMPARE(site.lan.size(), lanReply.isEmpty() ? 0u : 1u);
        if (!lanReply.isEmpty())
            QCOMPARE(QByteArray::fromStdString(site.lan.front()), lanReply);
        QCOMPARE(site.Sent(), relayed.isEmpty() ? QByteArray() : Line(relayed));
    }

    void inventoryFromWanStationAnsweredThroughTunnel() {
        Site site;
        QVERIFY(site.Connect());
        const QByteArray request = "INVENTORY: \"W1\" \"\" \"REQUEST\" 5 2 -1 -1 -1 -1 7 \"x\"";
        site.Feed(Line(request));
        site.LogLines();
        // Our broadcast of it comes back from the LAN.
        site.Lan(request);
        const QByteArray reply =
            "INVENTORY: \"~\" \"W1\" \"STATUS\" 5 3 -1 -1 -1 -1 7 \"Kavlink v1.18.0 [ht]\"";
        QCOMPARE(site.Sent(), Line(reply));
        QCOMPARE(site.LogLines(), (QStringList{"From LAN - INV REQUEST : " + request,
                                               "To WAN - INV REPLY : " + reply}));
    }

    // Another tunnel's reply reaches our LAN; its echo must not go back into the tunnel,
    // although a tunnel name never enters the WAN station table.
    void echoOfTunnelNamedSenderIsNotSentBack() {
        Site site;
        QVERIFY(site.Connect());
        const QByteArray reply =
            "INVENTORY: \"~B\" \"L1\" \"STATUS\" 5 3 -1 -1 -1 -1 7 \"Kavlink v1.18.0 [ht]\"";
        site.Feed(Line(reply));
        QCOMPARE(site.lan.size(), 1u);
        site.LogLines();
        site.Lan(reply);
        QCOMPARE(site.Sent(), QByteArray());
        QCOMPARE(site.LogLines(), QStringList{});
        // The echo was used up: the same text said on the LAN later does cross.
        site.Lan(reply);
        QCOMPARE(site.Sent(), Line(reply));
    }

    // What LAN messages send into the tunnel leaves one line per millisecond, in order, from a
    // queue; an echo or a dropped message takes no slot, and a close discards what waits.
    void lanLinesArePacedOnePerMillisecond() {
        constexpr std::int64_t ms = 1'000'000;
        Site site;
        QVERIFY(site.Connect());
        const QByteArray fromWan = "ADDQSO: \"~B\" \"\" 7";
        site.Feed(Line(fromWan));
        site.Lan("ADDQSO: \"L1\" \"\" 1"); // the slot is free: leaves at once
        site.Lan("ADDQSO: \"L1\" \"\" 2");
        site.Lan(fromWan);                // our own broadcast coming back
        site.Lan("IHAVE: \"L1\" \"\" 1"); // dropped by the rules
        site.Lan("ADDQSO: \"L1\" \"\" 3");
        QCOMPARE(site.Sent(), Line("ADDQSO: \"L1\" \"\" 1"));
        QCOMPARE(site.hub->Pacer().Waiting(), 2u);
        QVERIFY(site.hub->Pacer().IsTimerRunning());
        site.monotonic += ms - 1;
        site.hub->PaceTunnel();
        QCOMPARE(site.Sent(), QByteArray());
        site.monotonic += 1;
        site.hub->PaceTunnel();
        QCOMPARE(site.Sent(), Line("ADDQSO: \"L1\" \"\" 2"));
        site.monotonic += ms;
        site.hub->PaceTunnel();
        QCOMPARE(site.Sent(), Line("ADDQSO: \"L1\" \"\" 3"));
        QCOMPARE(site.hub->Pacer().Waiting(), 0u);
        site.hub->PaceTunnel();
        QVERIFY(!site.hub->Pacer().IsTimerRunning());

        // A stalled loop does not release the whole backlog at once: the schedule lags the
        // clock by at most the catch-up allowance.
        site.monotonic += ms;
        for (int i = 4; i < 12; ++i)
            site.Lan("ADDQSO: \"L1\" \"\" " + QByteArray::number(i));
        QCOMPARE(site.Sent(), Line("ADDQSO: \"L1\" \"\" 4"));
        site.monotonic += 20 * ms;
        site.hub->PaceTunnel();
        const int burst = int(CTunnelPacer::kCatchUpNs / CTunnelPacer::kSlotNs) + 1;
        QByteArray expected;
        for (int i = 5; i < 5 + burst; ++i)
            expected += Line("ADDQSO: \"L1\" \"\" " + QByteArray::number(i));
        QCOMPARE(site.Sent(), expected);
        QCOMPARE(site.hub->Pacer().Waiting(), std::size_t(7 - burst));

        // The tunnel closes: the waiting lines were for that connection only.
        site.hub->OnTunnelClosed();
        QCOMPARE(site.hub->Pacer().Waiting(), 0u);
        QVERIFY(!site.hub->Pacer().IsTimerRunning());
        QVERIFY(site.Connect());
        site.monotonic += 10 * ms;
        site.hub->PaceTunnel();
        QCOMPARE(site.Sent(), QByteArray());
    }

    // A TIME line whose turn comes more than 2 s after it was queued would set a far station's
    // clock wrong: it is dropped and counted then, and the next line takes its slot. Every
    // other line waits as long as it takes, in order.
    void staleTimeIsDropped_data() {
        QTest::addColumn<int>("ahead"); // lines queued before it, one leaving per millisecond
        QTest::addColumn<bool>("crosses");
        QTest::newRow("its turn after exactly 2 s") << 2000 << true;
        QTest::newRow("its turn after 2.001 s") << 2001 << false;
        QTest::newRow("its turn after 5 s") << 5000 << false;
    }
    void staleTimeIsDropped() {
        QFETCH(int, ahead);
        QFETCH(bool, crosses);
        constexpr std::int64_t ms = 1'000'000;
        Site site;
        QVERIFY(site.Connect());
        const auto addqso = [](int i) { return "ADDQSO: \"L1\" \"\" " + QByteArray::number(i); };
        const QByteArray time = "TIME: \"L1\" \"\" 1714564800";
        for (int i = 0; i < ahead; ++i)
            site.Lan(addqso(i));
        site.Lan(time);
        site.Lan(addqso(ahead));
        site.LogLines();
        QByteArray expected;
        for (int i = 0; i < ahead; ++i)
            expected += Line(addqso(i));
        if (crosses)
            expected += Line(time);
        expected += Line(addqso(ahead));

        // The first line left at once; the rest leave one per tick. A line waits in the queue
        // until the kernel has taken all before it, so the far end must read meanwhile: the
        // time stands still while it does.
        const int ticks = ahead + (crosses ? 1 : 0);
        for (int i = 0; i < ticks; ++i) {
            site.monotonic += ms;
            const std::size_t before = site.hub->Pacer().Waiting();
            QTRY_VERIFY((site.hub->PaceTunnel(), site.hub->Pacer().Waiting() < before));
        }
        QCOMPARE(site.hub->Pacer().Waiting(), 0u);
        QCOMPARE(site.Sent(), expected);
        QTRY_COMPARE(site.hub->Status().toWan.relayed, quint64(ahead + 1 + (crosses ? 1 : 0)));
        const HubStatus status = site.hub->Status();
        QCOMPARE(status.toWan[DropReason::StaleTime], crosses ? 0u : 1u);
        // The log says what became of it, once.
        const QStringList lines = site.LogLines().filter("TIME:");
        QCOMPARE(lines,
                 QStringList{crosses ? "From LAN (TO WAN) : " + time
                                     : "From LAN (DROPPED - TIME waited over 2 s) : " + time});
    }

    // A run of drops writes one line at its start and one with its count after a quiet second.
    void dropRunIsLoggedTwice() {
        Site site;
        site.LogLines();
        CDropTally tally(site.log, "Tunnel queue full", "messages to WAN");
        constexpr std::int64_t s = 1'000'000'000;
        tally.Add(1, 0);
        tally.Add(500, s / 2);
        tally.Check(s); // only half a second since the last drop
        tally.Add(2, s + 1);
        tally.Check(2 * s);
        tally.Check(2 * s + 1); // a quiet second: the run ends
        tally.Add(3, 3 * s);
        tally.Finish();
        QCOMPARE(site.LogLines(), (QStringList{"Tunnel queue full: dropping messages to WAN",
                                               "Tunnel queue full: 503 messages to WAN dropped",
                                               "Tunnel queue full: dropping messages to WAN",
                                               "Tunnel queue full: 3 messages to WAN dropped"}));
        QCOMPARE(tally.Total(), 506u);
    }

    // Each message lands in exactly the counters named, whatever its fate.
    void countersByReason_data() {
        QTest::addColumn<QByteArray>("wan"); // a tunnel line first, unless empty
        QTest::addColumn<QByteArray>("lan"); // then a LAN message, unless empty
        QTest::addColumn<int>("filter");
        QTest::addColumn<QStringList>("counted");
        const QByteArray none;
        QTest::newRow("LAN relayed")
            << none << QByteArray("ADDQSO: \"L1\" \"\" 1") << 0 << QStringList{"wan relayed"};
        const std::vector<std::tuple<const char*, const char*, int, DropReason>> lanDrops = {
            {"packet", "RCVDPKT: \"L1\" \"\" x", 0, DropReason::Packet},
            {"rotator", "SETAZIMUTH: \"L1\" \"\" 1", 0, DropReason::Rotator},
            {"NEEDQSO", "NEEDQSO: \"L1\" \"\" 1", 0, DropReason::NeedQso},
            {"NEEDQSOWAN", "NEEDQSOWAN: \"L1\" \"\" 1", 0, DropReason::NeedQsoWan},
            {"IHAVE", "IHAVE: \"L1\" \"\" 1", 0, DropReason::IHave},
            {"IHAVELAN", "IHAVELAN: \"L1\" \"\" 1", 0, DropReason::IHaveLan},
            {"local ADDQSO", "ADDQSO: \"L1\" \"L2\" 1", 0, DropReason::AddQso},
            {"TIME filtered", "TIME: \"L1\" \"\" 5", 1, DropReason::Time},
            {"from a far station", "ADDQSO: \"W1\" \"\" 1", 0, DropReason::FromFarStation},
            {"too few fields", "ADDQSO: \"L1\"", 0, DropReason::Malformed},
        };
        for (const auto& [name, text, filter, reason] : lanDrops)
            QTest::newRow(name) << none << QByteArray(text) << filter << QStringList{Wan(reason)};
        QTest::newRow("LAN too long") << none << "ADDQSO: \"L1\" \"\" " + QByteArray(240, 'x') << 0
                                      << QStringList{Wan(DropReason::TooLong)};
        QTest::newRow("HELLO rewritten")
            << none << QByteArray("HELLO: \"L1\" \"\" 1 2 \"MASTER\" 6 7 8") << 1
            << QStringList{"hello", "wan relayed"};
        QTest::newRow("inventory answered and relayed")
            << none << QByteArray("INVENTORY: \"L1\" \"\" \"REQUEST\" 5 2 -1 -1 -1 -1 1 \"x\"") << 0
            << QStringList{"inventory", "wan relayed"};
        QTest::newRow("echo") << Line("ADDQSO: \"~B\" \"\" 7")
                              << QByteArray("ADDQSO: \"~B\" \"\" 7") << 0
                              << QStringList{"lan relayed", Wan(DropReason::Echo)};
        QTest::newRow("WAN relayed")
            << Line("ADDQSO: \"W2\" \"\" 1") << none << 0 << QStringList{"lan relayed"};
        QTest::newRow("WAN heartbeat")
            << Line("HEARTBEAT: \"~x\" \"\" ") << none << 0 << QStringList{"heartbeats"};
        QTest::newRow("WAN TIME filtered")
            << Line("TIME: \"W2\" \"\" 1") << none << 1 << QStringList{Lan(DropReason::Time)};
        QByteArray bad = Line("ADDQSO: \"W2\" \"\" 1");
        bad[bad.size() - 1] = char(bad.back() ^ 1);
        QTest::newRow("WAN bad checksum")
            << bad << none << 0 << QStringList{Lan(DropReason::BadChecksum)};
        QTest::newRow("WAN too few fields")
            << Line("ADDQSO: \"W2\"") << none << 0 << QStringList{Lan(DropReason::Malformed)};
        QTest::newRow("WAN too long")
            << Line(QByteArray(1100, 'x')) << none << 0 << QStringList{Lan(DropReason::TooLong)};
    }
    void countersByReason() {
        QFETCH(QByteArray, wan);
        QFETCH(QByteArray, lan);
        QFETCH(int, filter);
        QFETCH(QStringList, counted);
        Site site(0, filter);
        QVERIFY(site.Connect());
        site.Feed(Line("HELLO: \"W1\" \"\" 1"));
        QMap<QString, quint64> expected = Counters(site.hub->Status());
        for (const QString& name : counted)
            ++expected[name];
        for (qsizetype at = 0; at < wan.size(); at += 255)
            site.Feed(wan.mid(at, 255));
        if (!lan.isEmpty())
            site.Lan(lan);
        QCOMPARE(Counters(site.hub->Status()), expected);
    }

    // State and since when, the cause of the last disconnection, the next attempt, the far
    // stations' first and last hearing, and the last minute's rate.
    void statusFollowsTheTunnel() {
        Site site;
        QCOMPARE(site.hub->Status().tunnel, HubStatus::Tunnel::Disconnected);
        QVERIFY(site.Connect(false));
        QCOMPARE(site.hub->Status().downSince, site.now);
        QCOMPARE(site.hub->Status().attemptsSinceDown, 1u);
        site.Advance(2);
        site.Feed("login:");
        site.LogLines();
        site.Feed("password:");
        QCOMPARE(site.LogLines(), QStringList{"Tunnel logged in as user"});
        HubStatus status = site.hub->Status();
        QCOMPARE(status.tunnel, HubStatus::Tunnel::LoggedIn);
        QCOMPARE(status.tunnelSince, site.now);
        QCOMPARE(status.downSince, 0);
        QCOMPARE(status.lastCause, DisconnectCause::None);

        site.Feed(Line("ADDQSO: \"W1\" \"\" 1"));
        site.Advance(59);
        site.Feed(Line("ADDQSO: \"W1\" \"\" 2"));
        status = site.hub->Status();
        QCOMPARE(status.farStations.size(), 1u);
        QCOMPARE(status.farStations[0].name, std::string("W1"));
        QCOMPARE(status.farStations[0].firstHeard, site.now - 59);
        QCOMPARE(status.farStations[0].lastHeard, site.now);
        QCOMPARE(status.toLanLastMinute, 2u);
        site.Advance(1);
        QCOMPARE(site.hub->Status().toLanLastMinute, 1u);

        site.Advance(61);
        site.hub->OnTimer(TunnelTimer::Watchdog);
        status = site.hub->Status();
        QCOMPARE(status.tunnel, HubStatus::Tunnel::Disconnected);
        QCOMPARE(status.lastCause, DisconnectCause::WanTimeout);
        QCOMPARE(status.lastDisconnect, site.now);
        QCOMPARE(status.nextReconnect, site.now + 5);
        const std::int64_t wentDown = site.now;
        QCOMPARE(status.downSince, wentDown);
        QCOMPARE(status.attemptsSinceDown, 0u);

        // Failed attempts leave the time down running; each counts.
        for (std::uint64_t attempt = 1; attempt <= 3; ++attempt) {
            site.Advance(5);
            site.hub->OnTimer(TunnelTimer::Reconnect);
            QVERIFY(site.server.waitForNewConnection(5000));
            delete site.server.nextPendingConnection();
            site.hub->OnTunnelClosed();
            status = site.hub->Status();
            QCOMPARE(status.downSince, wentDown);
            QCOMPARE(status.attemptsSinceDown, attempt);
        }
        QCOMPARE(status.tunnelSince, site.now);

        // The server ends the next connection; the log says so in the status window's words.
        QVERIFY(site.Connect());
        QCOMPARE(site.hub->Status().nextReconnect, 0);
        site.LogLines();
        site.peer->close();
        QTRY_COMPARE(site.hub->State(), TunnelState::Disconnected);
        QCOMPARE(site.hub->Status().lastCause, DisconnectCause::ClosedByServer);
        QCOMPARE(site.LogLines(),
                 (QStringList{"Tunnel disconnected", "Disconnect cause : closed by the server"}));
    }
};

QTEST_GUILESS_MAIN(TestTunnelHub)
#include "TestTunnelHub.moc"
