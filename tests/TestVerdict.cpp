// The fate of a LAN message and of a tunnel line as pure functions: one table each, in the
// order the tests are met. "W1" is a station behind the tunnel, "~T" this tunnel's name.
#include "Orvane.h"
#include "Settings.h"
#include "Verdict.h"

#include <QTest>

Q_DECLARE_METATYPE(LanFate)
Q_DECLARE_METATYPE(LanDrop)
Q_DECLARE_METATYPE(TunnelFate)

namespace {

// A message in the shape the hub judges: parsed by the LAN library.
struct Parsed {
    explicit Parsed(const QByteArray& text) {
        qstrncpy(copy, text.constData(), sizeof copy);
        count = ORVANE_parse(fields, copy);
    }
    ParsedText Text() const { return {fields, count}; }
    char copy[1024] = {};
    char* fields[ORVANE_MAX_FIELDS] = {};
    int count = 0;
};

enum Where { Open = 0, Closed = 1, NotLoggedIn = 2, TooLong = 3 };

} // namespace

class TestVerdict : public QObject {
    Q_OBJECT

private slots:
    void lanMessage_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("where");
        QTest::addColumn<int>("filter");
        QTest::addColumn<bool>("echo"); // what the echo test answers
        QTest::addColumn<LanFate>("fate");
        QTest::addColumn<LanDrop>("rule");
        QTest::addColumn<bool>("echoAsked"); // whether the echo was used up
        QTest::addColumn<QByteArray>("outgoing");
        QTest::addColumn<QByteArray>("extra"); // tunnel name, or "LAN:"/"WAN:" and the reply

        const QByteArray addQso = "ADDQSO: \"L1\" \"\" 1";
        const auto row = [](const char* name, const QByteArray& text, int where, int filter,
                            bool echo, LanFate fate, LanDrop rule, bool echoAsked,
                            const QByteArray& outgoing, const QByteArray& extra = {}) {
            QTest::newRow(name) << text << where << filter << echo << fate << rule << echoAsked
                                << outgoing << extra;
        };
        const LanDrop none = LanDrop::None;
        row("tunnel closed", addQso, Closed, 0, true, LanFate::TunnelDown, none, false, {});
        row("too long before logged in", addQso, TooLong, 0, true, LanFate::TooLong, none, false,
            {});
        row("not logged in", addQso, NotLoggedIn, 0, true, LanFate::TunnelDown, none, false, {});
        row("two fields", "ADDQSO: \"L1\"", Open, 0, true, LanFate::Malformed, none, false, {});
        row("empty sender", "ADDQSO: \"\" \"\" 1", Open, 0, true, LanFate::Malformed, none, false,
            {});
        row("relayed", addQso, Open, 0, false, LanFate::Relay, none, true, addQso);
        row("echo of a relayed text", addQso, Open, 0, true, LanFate::Echo, none, true, addQso);
        row("rule before echo: the echo is used up", "IHAVE: \"L1\" \"\" 1", Open, 0, true,
            LanFate::Rule, LanDrop::IHave, true, {});
        row("local ADDQSO", "ADDQSO: \"L1\" \"L2\" 1", Open, 0, false, LanFate::Rule,
            LanDrop::LocalAddQso, true, {});
        row("from a far station", "ADDQSO: \"W1\" \"\" 1", Open, 0, false, LanFate::FromFarStation,
            none, true, "ADDQSO: \"W1\" \"\" 1");
        row("far station before echo", "ADDQSO: \"W1\" \"\" 1", Open, 0, true,
            LanFate::FromFarStation, none, true, "ADDQSO: \"W1\" \"\" 1");
        row("IHAVEWAN names the tunnel", "IHAVEWAN: \"OP1\" \"\" 1", Open, 0, false, LanFate::Relay,
            none, true, "IHAVEWAN: \"OP1\" \"\" 1", "OP1");
        row("IHAVEWAN of a far station", "IHAVEWAN: \"W1\" \"\" 1", Open, 0, false,
            LanFate::FromFarStation, none, true, "IHAVEWAN: \"W1\" \"\" 1");
        row("TIME filtered before far station", "TIME: \"W1\" \"\" 5", Open, 1, false,
            LanFate::Time, none, true, "TIME: \"W1\" \"\" 5");
        row("TIME unfiltered", "TIME: \"L1\" \"\" 5", Open, 0, false, LanFate::Relay, none, true,
            "TIME: \"L1\" \"\" 5");
        const QByteArray hello = "HELLO: \"L1\" \"X\" 1 2 \"MASTER\" 6 7 8";
        const QByteArray slave = "HELLO: \"L1\" \"\" 1 2 \"SLAVE\" 6 7 8";
        row("master HELLO rewritten", hello, Open, 1, false, LanFate::Relay, none, true, slave);
        row("master HELLO rewritten, then an echo", hello, Open, 1, true, LanFate::Echo, none, true,
            slave);
        row("master HELLO unfiltered", hello, Open, 0, false, LanFate::Relay, none, true, hello);

        const QByteArray tail = " \"REQUEST\" 5 2 -1 -1 -1 -1 7 \"x\"";
        const QByteArray reply = " \"STATUS\" 5 3 -1 -1 -1 -1 7 \"Kavlink v1.18.0 [ht]\"";
        row("inventory for this tunnel", "INVENTORY: \"L1\" \"~T\"" + tail, Open, 0, true,
            LanFate::AnsweredHere, none, true, {}, "LAN:INVENTORY: \"~T\" \"L1\"" + reply);
        row("inventory for this tunnel from afar", "INVENTORY: \"W1\" \"~T\"" + tail, Open, 0,
            false, LanFate::AnsweredHere, none, true, {}, "WAN:INVENTORY: \"~T\" \"W1\"" + reply);
        row("inventory for all: answered and relayed", "INVENTORY: \"L1\" \"\"" + tail, Open, 0,
            false, LanFate::Relay, none, true,
            "INVENTORY: \"L1\" \"\" \"REQUEST\" 5 3 -1 -1 -1 -1 7 \"x\"",
            "LAN:INVENTORY: \"~T\" \"L1\"" + reply);
        row("inventory for another station", "INVENTORY: \"L1\" \"L2\"" + tail, Open, 0, false,
            LanFate::Relay, none, true,
            "INVENTORY: \"L1\" \"L2\" \"REQUEST\" 5 3 -1 -1 -1 -1 7 \"x\"");
    }
    void lanMessage() {
        QFETCH(QByteArray, text);
        QFETCH(int, where);
        QFETCH(int, filter);
        QFETCH(bool, echo);
        Settings settings;
        settings.FilterTimeSync = filter;
        int asked = 0;
        const LanSituation situation{
            .settings = settings,
            .tunnelOpen = where != Closed,
            .loggedIn = where == Open,
            .tooLong = where == TooLong,
            .tunnelName = "~T",
            .isWanStation = [](const std::string& name) { return name == "W1"; },
            .isEcho =
                [&] {
                    ++asked;
                    return echo;
                },
        };
        const Parsed parsed(text);
        const LanVerdict verdict = JudgeLanMessage(
            text.toStdString(), where == TooLong ? ParsedText{} : parsed.Text(), situation);

        QTEST(verdict.fate, "fate");
        QTEST(verdict.rule, "rule");
        QFETCH(bool, echoAsked);
        QCOMPARE(asked, echoAsked ? 1 : 0);
        QFETCH(QByteArray, outgoing);
        QFETCH(LanFate, fate);
        if (fate == LanFate::Relay || !outgoing.isEmpty())
            QCOMPARE(QByteArray::fromStdString(verdict.outgoing), outgoing);
        QCOMPARE(verdict.helloRewritten, outgoing.contains("SLAVE"));
        QFETCH(QByteArray, extra);
        const bool isReply = extra.startsWith("LAN:") || extra.startsWith("WAN:");
        QCOMPARE(QByteArray::fromStdString(verdict.nameTunnelAfter),
                 isReply ? QByteArray() : extra);
        QCOMPARE(verdict.inventoryRequest, text.startsWith("INVENTORY:"));
        QCOMPARE(verdict.reply.has_value(), isReply);
        if (isReply) {
            QCOMPARE(verdict.reply->toTunnel, extra.startsWith("WAN:"));
            QCOMPARE(QByteArray::fromStdString(verdict.reply->text), extra.mid(4));
        }
    }

    void tunnelLine_data() {
        QTest::addColumn<bool>("checksumRight");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("filter");
        QTest::addColumn<TunnelFate>("fate");
        QTest::newRow("bad checksum")
            << false << QByteArray("ADDQSO: \"W1\" \"\" 1") << 0 << TunnelFate::BadChecksum;
        QTest::newRow("two fields")
            << true << QByteArray("ADDQSO: \"W1\"") << 0 << TunnelFate::Malformed;
        QTest::newRow("empty keyword")
            << true << QByteArray("\"\" \"W1\" 1") << 0 << TunnelFate::Malformed;
        QTest::newRow("heartbeat")
            << true << QByteArray("HEARTBEAT: \"~B\" \"\" ") << 1 << TunnelFate::Heartbeat;
        QTest::newRow("TIME filtered")
            << true << QByteArray("TIME: \"W1\" \"\" 5") << 1 << TunnelFate::Time;
        QTest::newRow("TIME unfiltered")
            << true << QByteArray("TIME: \"W1\" \"\" 5") << 0 << TunnelFate::Relay;
        QTest::newRow("relayed") << true << QByteArray("ADDQSO: \"W1\" \"\" 1") << 1
                                 << TunnelFate::Relay;
    }
    void tunnelLine() {
        QFETCH(bool, checksumRight);
        QFETCH(QByteArray, text);
        QFETCH(int, filter);
        Settings settings;
        settings.FilterTimeSync = filter;
        const Parsed parsed(text);
        QTEST(
            JudgeTunnelLine(checksumRight, checksumRight ? parsed.Text() : ParsedText{}, settings),
            "fate");
    }
};

QTEST_GUILESS_MAIN(TestVerdict)
#include "TestVerdict.moc"
