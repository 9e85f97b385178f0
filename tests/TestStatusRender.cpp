// The status port's answers from a snapshot alone: peer text escaped on the page, no login
// before it was accepted, and metrics in Prometheus' text format.
#include "StatusRender.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace {
const QDateTime kNoon(QDate(2026, 12, 10), QTime(12, 0), Qt::OffsetFromUTC, 3600);

ServerSnapshot::Connection LoggedIn(const QByteArray& login, const QString& peer) {
    ServerSnapshot::Connection c;
    c.peer = peer;
    c.loggedIn = true;
    c.login = login;
    c.loggedInSince = kNoon.addSecs(-600);
    c.linesIn = 40;
    c.linesOut = 75;
    c.linesInLastMinute = 4;
    c.linesOutLastMinute = 7;
    c.bytesWaiting = 12;
    return c;
}

// Two sites in, one connection awaiting log-in whose first answer was a password typed into
// the login, and an address refused lately.
ServerSnapshot TwoSites() {
    ServerSnapshot s;
    s.version = "1.18.0";
    s.upSince = kNoon.addSecs(-(2 * 86400 + 3 * 3600 + 5));
    s.takenAt = kNoon;
    s.port = 10368;
    s.loggedIn = 2;
    s.pending = 1;
    s.linesReceived = 115;
    s.linesSent = 230;
    s.counters.Count(DropReason::TooLong);
    s.counters.Count(DropReason::BadChecksum, 2);
    s.counters.Count(RefusalReason::TooFast, 5);
    s.counters.Count(EvictionReason::NewAddress, 40);
    s.counters.Count(EvictionReason::LoggedInBefore, 2);
    s.counters.Count(PauseReason::LoginBudget, 6);
    s.counters.loginsOk = 2;
    s.counters.loginsFailed = 3;
    s.bytesWaiting = 24;
    s.connections = {LoggedIn("DL0ABC", "192.0.2.7:40001"), LoggedIn("OE1XYZ", "[2001:db8::5]:3")};
    ServerSnapshot::Connection pending;
    pending.peer = "198.51.100.9:5000";
    pending.login = "hunter2-typed-as-login";
    s.connections.push_back(pending);
    s.troubles = {{"203.0.113.66", 9, 3, 2, 40}, {QString(), 1, 0, 0}};
    s.process = {25 << 20, 300 << 20, 1.25, 17, 65536, 1796900000.5};
    return s;
}

QList<QByteArray> Samples(const QByteArray& metrics) {
    QList<QByteArray> samples;
    for (const QByteArray& line : metrics.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            samples.append(line);
    }
    return samples;
}
} // namespace

class TestStatusRender : public QObject {
    Q_OBJECT

private slots:
    void peerTextOnThePage_data() {
        QTest::addColumn<QByteArray>("login");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain") << QByteArray("DL0ABC") << "DL0ABC";
        QTest::newRow("markup") << QByteArray("<script>alert(1)</script>")
                                << "&lt;script&gt;alert(1)&lt;/script&gt;";
        QTest::newRow("attribute breakers") << QByteArray("a\"b'c&d") << "a&quot;b&#39;c&amp;d";
        QTest::newRow("control bytes") << QByteArray("a\x01\x1b[2Jb\x7f") << "a\\x01\\x1B[2Jb\\x7F";
        QTest::newRow("backslash") << QByteArray("a\\x01") << "a\\\\x01";
        QTest::newRow("Latin-1") << QByteArray("K\xf6ln") << "K\u00f6ln";
        QTest::newRow("C1 control") << QByteArray("a\x9b") << "a\\x9B";
    }
    // The page shows it escaped and the JSON as Latin-1, and it never reaches a tag.
    void peerTextOnThePage() {
        QFETCH(QByteArray, login);
        QFETCH(QString, shown);
        ServerSnapshot s = TwoSites();
        s.connections[0].login = login;
        const QString page = QString::fromUtf8(StatusPageHtml(s));
        QVERIFY2(page.contains("<td>" + shown + "</td>"), qPrintable(page));
        QVERIFY(!page.contains("<script"));
        const QJsonObject json = QJsonDocument::fromJson(StatusJson(s)).object();
        QCOMPARE(json["connections"].toArray()[0].toObject()["login"].toString(),
                 QString::fromLatin1(login));
    }

    // An unchecked answer may be a password: nothing shows it, and the page is complete.
    void pendingConnectionShowsNoLogin() {
        const ServerSnapshot s = TwoSites();
        const QByteArray page = StatusPageHtml(s);
        const QByteArray json = StatusJson(s);
        for (const QByteArray& answer : {page, json, MetricsText(s)})
            QVERIFY(!answer.contains("hunter2"));
        QVERIFY(page.contains("<td>198.51.100.9:5000</td><td class=\"dim\" colspan=\"6\">awaiting "
                              "log-in</td>"));
        QVERIFY(json.contains("\"address\": \"198.51.100.9:5000\""));
        QVERIFY(page.endsWith("</body></html>\n"));
        QVERIFY(page.contains("<meta http-equiv=\"refresh\" content=\"5\">"));
        QVERIFY(!page.contains("<script") && !page.contains("src=") && !page.contains("://"));
    }

    void pageParts_data() {
        QTest::addColumn<QString>("part");
        QTest::newRow("up since") << "2026-12-08T08:59:55+01:00 (2 d 3 h)";
        QTest::newRow("port, plain") << "10368 on all addresses, plain";
        QTest::newRow("no TLS port") << "<th>TLS</th><td>none: plain only</td>";
        QTest::newRow("clients") << "2 logged in, 1 awaiting log-in";
        QTest::newRow("drops by reason") << "3 (bad checksum 2, too long 1)";
        QTest::newRow("refusals by reason") << "5 (connecting too often 5)";
        QTest::newRow("log-ins") << "2 accepted, 3 failed";
        QTest::newRow("evictions by reason")
            << "42 (for an address holding fewer 40, for an address that logged in before 2)";
        QTest::newRow("pauses by reason") << "6 (login&#39;s checks spoken for 6)";
        QTest::newRow("a connection's row")
            << "<td>192.0.2.7:40001</td><td>DL0ABC</td><td>2026-12-10T11:50:00+01:00</td><td "
               "class=\"n\">40</td><td class=\"n\">75</td><td class=\"n\">4</td><td "
               "class=\"n\">7</td><td class=\"n\">12</td><td>plain</td>";
        QTest::newRow("refused address")
            << "<td>203.0.113.66</td><td class=\"n\">9</td><td class=\"n\">3</td><td "
               "class=\"n\">2</td><td class=\"n\">40</td>";
        QTest::newRow("beyond the bound") << "other addresses";
    }
    void pageParts() {
        QFETCH(QString, part);
        const QString page = QString::fromUtf8(StatusPageHtml(TwoSites()));
        QVERIFY2(page.contains(part), qPrintable(page));
    }

    // A server on the TLS port alone, one of its sites over TLS.
    void tlsOnly() {
        ServerSnapshot s = TwoSites();
        s.port = 0;
        s.tlsPort = 10369;
        s.connections[1].tls = true;
        const QString page = QString::fromUtf8(StatusPageHtml(s));
        for (const QString& part :
             {QStringLiteral("<th>Tunnel port</th><td>none: TLS only</td>"),
              QStringLiteral("<th>TLS</th><td>port 10369 on all addresses</td>"),
              QStringLiteral("<td class=\"n\">12</td><td>TLS</td>")})
            QVERIFY2(page.contains(part), qPrintable(part));
        const QJsonObject json = QJsonDocument::fromJson(StatusJson(s)).object();
        QCOMPARE(json["server"].toObject()["port"].type(), QJsonValue::Null);
        QCOMPARE(json["server"].toObject()["tls_port"].toInt(), 10369);
        QCOMPARE(json["connections"].toArray()[1].toObject()["tls"].toBool(), true);
    }

    void json() {
        const QJsonObject json = QJsonDocument::fromJson(StatusJson(TwoSites())).object();
        const QJsonObject server = json["server"].toObject();
        QCOMPARE(server["tls_port"].type(), QJsonValue::Null);
        QCOMPARE(server["up_since"].toString(), "2026-12-08T08:59:55+01:00");
        const QJsonObject totals = json["totals"].toObject();
        QCOMPARE(totals["clients"].toObject()["logged_in"].toInt(), 2);
        QCOMPARE(totals["lines_dropped"].toObject()["too_long"].toInt(), 1);
        QCOMPARE(totals["logins"].toObject()["failed"].toInt(), 3);
        const QJsonArray connections = json["connections"].toArray();
        QCOMPARE(connections.size(), 3);
        QCOMPARE(connections[1].toObject()["login"].toString(), "OE1XYZ");
        QCOMPARE(connections[1].toObject()["lines_out_last_minute"].toInt(), 7);
        QCOMPARE(connections[1].toObject()["tls"].toBool(), false);
        QVERIFY(!connections[2].toObject().contains("login"));
        const QJsonArray troubles = json["refused_or_slowed_last_15_min"].toArray();
        QCOMPARE(troubles[0].toObject()["failed_logins"].toInt(), 3);
        QCOMPARE(troubles[0].toObject()["evicted"].toInt(), 40);
        QCOMPARE(totals["connections_evicted"].toObject()["logged_in_before"].toInt(), 2);
        QCOMPARE(totals["connections_paused"].toObject()["after_failures"].toInt(), 0);
        QCOMPARE(troubles[1].toObject()["address"].type(), QJsonValue::Null);
    }

    void metricSamples_data() {
        QTest::addColumn<QByteArray>("sample");
        QTest::newRow("logged in") << QByteArray("kavlink_clients{state=\"logged_in\"} 2");
        QTest::newRow("pending") << QByteArray("kavlink_clients{state=\"pending\"} 1");
        QTest::newRow("received") << QByteArray("kavlink_lines_received_total 115");
        QTest::newRow("sent") << QByteArray("kavlink_lines_sent_total 230");
        QTest::newRow("dropped, too long")
            << QByteArray("kavlink_lines_dropped_total{reason=\"too_long\"} 1");
        QTest::newRow("dropped, none empty")
            << QByteArray("kavlink_lines_dropped_total{reason=\"empty\"} 0");
        QTest::newRow("log-ins ok") << QByteArray("kavlink_logins_total{result=\"ok\"} 2");
        QTest::newRow("log-ins failed") << QByteArray("kavlink_logins_total{result=\"failed\"} 3");
        QTest::newRow("refused") << QByteArray(
            "kavlink_connections_refused_total{reason=\"too_fast\"} 5");
        QTest::newRow("evicted") << QByteArray(
            "kavlink_connections_evicted_total{reason=\"new_address\"} 40");
        QTest::newRow("paused") << QByteArray(
            "kavlink_connections_paused_total{reason=\"login_budget\"} 6");
        QTest::newRow("waiting") << QByteArray("kavlink_output_bytes_waiting 24");
        QTest::newRow("version") << QByteArray("kavlink_build_info{version=\"1.18.0\"} 1");
        QTest::newRow("memory") << QByteArray("process_resident_memory_bytes 26214400");
        QTest::newRow("CPU") << QByteArray("process_cpu_seconds_total 1.250");
        QTest::newRow("descriptors") << QByteArray("process_open_fds 17");
        QTest::newRow("start") << QByteArray("process_start_time_seconds 1796900000.500");
    }
    void metricSamples() {
        QFETCH(QByteArray, sample);
        const QByteArray metrics = MetricsText(TwoSites());
        QVERIFY2(Samples(metrics).contains(sample), metrics.constData());
    }

    // Every sample belongs to a family named once with HELP and TYPE before it; counters end
    // in _total; label values are escaped.
    void metricsFollowTheTextFormat() {
        ServerSnapshot s = TwoSites();
        s.version = "1\"2\\3\n";
        const QByteArray metrics = MetricsText(s);
        QVERIFY(metrics.endsWith('\n'));
        const QRegularExpression sample(
            R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-z_]+="(?:[^"\\\n]|\\[\\"n])*"\})? -?[0-9.]+$)");
        QSet<QByteArray> helped;
        QHash<QByteArray, QByteArray> types;
        for (const QByteArray& line : metrics.split('\n')) {
            if (line.isEmpty())
                continue;
            const QList<QByteArray> words = line.split(' ');
            if (line.startsWith("# HELP ")) {
                QVERIFY2(!helped.contains(words[2]), line.constData());
                QVERIFY(words.size() > 3);
                helped.insert(words[2]);
            } else if (line.startsWith("# TYPE ")) {
                QVERIFY2(helped.contains(words[2]) && !types.contains(words[2]), line.constData());
                types.insert(words[2], words[3]);
                QCOMPARE(words[3] == "counter", words[2].endsWith("_total"));
            } else {
                const auto match = sample.match(QString::fromUtf8(line));
                QVERIFY2(match.hasMatch(), line.constData());
                QVERIFY2(types.contains(match.captured(1).toUtf8()), line.constData());
            }
        }
        QVERIFY(Samples(metrics).contains("kavlink_build_info{version=\"1\\\"2\\\\3\\n\"} 1"));
    }

    void durationText_data() {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("seconds") << qint64(12) << "12 s";
        QTest::newRow("minutes") << qint64(243) << "4 min 3 s";
        QTest::newRow("hours") << qint64(7500) << "2 h 5 min";
        QTest::newRow("days") << qint64(2 * 86400 + 3 * 3600 + 59) << "2 d 3 h";
        QTest::newRow("clock stepped back") << qint64(-5) << "0 s";
    }
    void durationText() {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(DurationText(seconds), text);
    }
};

QTEST_GUILESS_MAIN(TestStatusRender)
#include "TestStatusRender.moc"
