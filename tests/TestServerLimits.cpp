// The server's defences on their own: pruning of the connection limits, the log summaries, the
// log writer against a reader that never reads, and its deadlines.
#include "CClockDeadline.h"
#include "CConnectionLimits.h"
#include "CLogSummary.h"
#include "CLogWriter.h"
#include "LogText.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <fcntl.h>
#include <unistd.h>

namespace {
const QByteArray kHome("\x7f\x00\x00\x02", 4);
const QByteArray kOther("\x7f\x00\x00\x03", 4);

} // namespace

class TestServerLimits : public QObject {
    Q_OBJECT

private slots:
    void pruneForgetsIdleAddresses() {
        CConnectionLimits limits({4, 2, 3});
        QVERIFY(limits.Admit(kHome, 1, 0) == CConnectionLimits::Verdict::Admit);
        QVERIFY(limits.Admit(kOther, 2, 0) == CConnectionLimits::Verdict::Admit);
        limits.Left(kOther, 2);
        limits.Prune(60000);
        QCOMPARE(limits.AddressesKnown(), 1); // kHome still has a connection pending
        QCOMPARE(limits.PendingFrom(kHome), 1);
    }

    void logSummary() {
        CLogSummary summary(60000, 2);
        QStringList lines;
        const auto sink = [&](const QString& line) { lines.append(line); };
        QList<bool> shown;
        for (int i = 0; i < 5; ++i)
            shown.append(summary.Count("connections refused", "203.0.113.7", i));
        shown.append(summary.Count("failed log-ins", "203.0.113.7", 10));
        QCOMPARE(shown, (QList<bool>{true, true, false, false, false, true}));
        summary.Flush(59999, sink);
        QCOMPARE(lines, QStringList{});
        summary.Flush(60000, sink);
        QCOMPARE(lines, QStringList{"5 connections refused from 203.0.113.7 in the last 60 s"});
        QVERIFY(summary.Count("connections refused", "203.0.113.7", 60001)); // a new window
        summary.Flush(60001, sink, true);
        QCOMPARE(lines.size(), 1); // nothing hidden in the new windows
    }

    // Log-ins and the ends of sessions: each address gets a few lines of its own, and only
    // its excess is summed; the server's own events are summed without an address.
    void logSummaryPerAddress() {
        const auto perAddress = CLogSummary::Shown::PerAddress;
        CLogSummary summary(60000, 2);
        QList<bool> shown;
        for (int i = 0; i < 4; ++i)
            shown.append(summary.Count("log-ins", "192.0.2.1", i, perAddress));
        for (int i = 0; i < 2; ++i)
            shown.append(summary.Count("log-ins", "192.0.2.2", 10 + i, perAddress));
        for (int i = 0; i < 3; ++i)
            shown.append(summary.Count("pauses in accepting", QString(), i));
        QCOMPARE(shown, (QList<bool>{true, true, false, false, true, true, true, true, false}));
        QStringList lines;
        summary.Flush(60000, [&](const QString& line) { lines.append(line); });
        lines.sort();
        QCOMPARE(lines, (QStringList{"3 pauses in accepting in the last 60 s",
                                     "6 log-ins from 2 addresses in the last 60 s; most from "
                                     "192.0.2.1 (4), 192.0.2.2 (2)"}));

        // Many addresses within their share: every line shown, nothing to sum.
        for (int i = 0; i < 2000; ++i)
            QVERIFY(summary.Count("log-ins", QString::number(i % 1000), 60100 + i, perAddress));
        lines.clear();
        summary.Flush(120100, [&](const QString& line) { lines.append(line); });
        QCOMPARE(lines, QStringList{});
    }

    // Churn from 1 000 addresses writes a few lines a minute, naming those that brought the
    // most; memory stays bounded past the addresses it counts one by one.
    void logSummaryAcrossAddresses() {
        CLogSummary summary(60000, 3);
        int shown = 0;
        const QStringList kinds{"connections refused", "connections closed before log-in",
                                "failed log-ins", "log-in pauses started"};
        for (int i = 0; i < 3000; ++i) {
            for (const QString& kind : kinds)
                shown +=
                    summary.Count(
                        kind, QStringLiteral("10.0.%1.%2").arg(i % 1000 / 250).arg(i % 250), i * 20)
                        ? 1
                        : 0;
        }
        shown += summary.Count("failed log-ins", "192.0.2.1", 100) ? 1 : 0;
        QStringList lines;
        summary.Flush(60000, [&](const QString& line) { lines.append(line); });
        QCOMPARE(shown, 12);
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines.contains("3000 connections refused from 1000 addresses in the last 60 s; "
                                "most from 10.0.0.0 (3), 10.0.0.1 (3), 10.0.0.10 (3)"),
                 qPrintable(lines.join('\n')));

        CLogSummary bounded(60000, 0);
        for (int i = 0; i < CLogSummary::kMaxAddresses + 10; ++i)
            QVERIFY(!bounded.Count("failed log-ins", QString::number(i), 0));
        lines.clear();
        bounded.Flush(60000, [&](const QString& line) { lines.append(line); });
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith("1034 failed log-ins from more than 1024 addresses"),
                 qPrintable(lines[0]));
    }

    // A reader that never reads: writing returns at once, the excess is dropped and counted,
    // and the count is written once the reader catches up.
    void deadlinePeriods_data() {
        QTest::addColumn<qint64>("wokenAt");
        QTest::addColumn<qint64>("nextAt");
        QTest::newRow("on time") << qint64(100) << qint64(200);
        QTest::newRow("late within the period") << qint64(150) << qint64(200);
        QTest::newRow("stalled past the next") << qint64(350) << qint64(450);
    }
    // An early wake-up changes nothing; a period keeps its phase, and after a stall the next
    // moment is one period on rather than a burst of missed ones.
    void deadlinePeriods() {
        QFETCH(qint64, wokenAt);
        QFETCH(qint64, nextAt);
        QObject receiver;
        CClockDeadline deadline;
        deadline.Start(100, 0, &receiver);
        QVERIFY(!deadline.Reached(99));
        QVERIFY(!deadline.WokeUp(99, &receiver));
        QVERIFY(deadline.IsActive());
        QVERIFY(deadline.WokeUp(wokenAt, &receiver));
        deadline.StartNextPeriod(100, wokenAt, &receiver);
        QVERIFY(!deadline.Reached(nextAt - 1));
        QVERIFY(deadline.Reached(nextAt));
        deadline.Stop();
        QVERIFY(!deadline.Reached(nextAt));
    }

    void logText_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain") << QByteArray("site-a") << "site-a";
        QTest::newRow("a quote cannot close the field")
            << QByteArray("x\" logged in as \"admin") << "x\\x22 logged in as \\x22admin";
        QTest::newRow("a backslash stays readable") << QByteArray("a\\x22") << "a\\\\x22";
        QTest::newRow("control bytes and line ends")
            << QByteArray("a\r\nb\x1b") << "a\\x0D\\x0Ab\\x1B";
    }
    void logText() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QCOMPARE(QuotedText(bytes), shown);
    }

    void logTimestamp_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("stamp");
        QTest::newRow("UTC") << QByteArray("UTC") << "2026-12-10T18:08:55+00:00";
        QTest::newRow("east") << QByteArray("Europe/Berlin") << "2026-12-10T19:08:55+01:00";
        QTest::newRow("west, half hours")
            << QByteArray("America/St_Johns") << "2026-12-10T14:38:55-03:30";
    }
    void logTimestamp() {
        QFETCH(QByteArray, zone);
        QFETCH(QString, stamp);
        const QDateTime utc(QDate(2026, 12, 10), QTime(18, 8, 55), Qt::UTC);
        QCOMPARE(LogTimestamp(utc.toTimeZone(QTimeZone(zone))), stamp);
    }

    // A full disk: the lines written meanwhile are lost and counted; once writing works again
    // the count comes first, and the log goes on.
    void logWriterRecoversFromWriteErrors() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        QVERIFY(full >= 0);
        QFile file(dir.filePath("log"));
        {
            CLogWriter writer(full);
            for (int i = 0; i < 5; ++i)
                writer.Write("lost\n");
            QVERIFY(QTest::qWaitFor([&] { return writer.DroppedTotal() == 5; }, 10000));
            const QByteArray path = QFile::encodeName(file.fileName());
            const int room = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            QVERIFY(room >= 0);
            QCOMPARE(::dup3(room, full, O_CLOEXEC), full); // the disk has room again
            ::close(room);
            writer.Write("kept\n");
            QVERIFY(QTest::qWaitFor(
                [&] {
                    QFile log(file.fileName());
                    return log.open(QIODevice::ReadOnly) &&
                           log.readAll() ==
                               "5 log lines dropped: the log could not be written\nkept\n";
                },
                10000));
            QCOMPARE(writer.DroppedTotal(), 5u);
        }
        ::close(full);
    }

    void logWriterWithABlockedSink() {
        int pipeFds[2];
        QCOMPARE(::pipe2(pipeFds, O_CLOEXEC), 0);
        QCOMPARE(::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK), 0); // the writer's end blocks
        const QByteArray line = QByteArray(99, 'x') + '\n';
        {
            CLogWriter writer(pipeFds[1], std::size_t{16} * 1024);
            for (int i = 0; i < 10000; ++i) // 1 MB, far beyond the pipe and the queue
                writer.Write(line);
            QVERIFY(writer.DroppedTotal() > 0);
            QVERIFY(writer.DroppedTotal() < 10000);
            QByteArray got;
            char buffer[65536];
            const QRegularExpression note("(\\d+) log lines dropped");
            const auto noted = [&] {
                std::uint64_t sum = 0;
                for (const auto& match : note.globalMatch(QString::fromLatin1(got)))
                    sum += match.captured(1).toULongLong();
                return sum;
            };
            QVERIFY(QTest::qWaitFor(
                [&] {
                    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
                    if (n > 0)
                        got.append(buffer, n);
                    return noted() == writer.DroppedTotal();
                },
                10000));
            QVERIFY(got.startsWith(line));
            QCOMPARE(static_cast<std::uint64_t>(got.count(line)) + writer.DroppedTotal(), 10000u);
        }
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
    }
};

QTEST_GUILESS_MAIN(TestServerLimits)
#include "TestServerLimits.moc"
