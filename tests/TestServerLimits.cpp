// The server's defences on their own: per-address connection limits, the guess throttle, the
// log summaries, the log writer against a reader that never reads, and its deadlines.
#include "CClockDeadline.h"
#include "CConnectionLimits.h"
#include "CLogSummary.h"
#include "CLogWriter.h"
#include "CLoginThrottle.h"

#include <QRegularExpression>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

namespace {
const QByteArray kHome("\x7f\x00\x00\x02", 4);
const QByteArray kOther("\x7f\x00\x00\x03", 4);

// One step of a scenario: at time `at`, connect from `from`, expecting `verdict`; a negative
// `leave` instead lets one pending connection of `from` leave (log in or close).
struct Step {
    qint64 at;
    QByteArray from;
    CConnectionLimits::Verdict verdict;
    bool leave = false;
};
} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestServerLimits : public QObject {
    Q_OBJECT

private slots:
    void connectionLimits_data() {
        using V = CConnectionLimits::Verdict;
        QTest::addColumn<QList<Step>>("steps");
        // Settings in every row: 4 in all, 2 per address, 3 connects a minute.
        QTest::newRow("per-address cap leaves another address free") << QList<Step>{
            {0, kHome, V::Admit},  {0, kHome, V::Admit},       {0, kHome, V::TooManyPending},
            {0, kOther, V::Admit}, {0, kHome, V::Admit, true}, {0, kHome, V::Admit}};
        QTest::newRow("global cap is the last resort")
            << QList<Step>{{0, kHome, V::Admit},
                           {0, kHome, V::Admit},
                           {0, kOther, V::Admit},
                           {0, kOther, V::Admit},
                           {0, QByteArray("\x7f\0\0\x04", 4), V::ServerFull}};
        QTest::newRow("burst, then one per 20 s") << QList<Step>{
            {0, kHome, V::Admit},       {0, kHome, V::Admit, true}, {0, kHome, V::Admit},
            {0, kHome, V::Admit, true}, {0, kHome, V::Admit},       {0, kHome, V::Admit, true},
            {0, kHome, V::TooFast},     {19000, kHome, V::TooFast}, {20000, kHome, V::Admit},
            {20000, kHome, V::TooFast}, {20000, kOther, V::Admit}};
    }
    void connectionLimits() {
        QFETCH(QList<Step>, steps);
        CConnectionLimits limits({4, 2, 3});
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            if (step.leave) {
                limits.Left(step.from);
                continue;
            }
            QVERIFY2(limits.Admit(step.from, step.at) == step.verdict,
                     qPrintable(QStringLiteral("step %1").arg(i)));
        }
    }

    void pruneForgetsIdleAddresses() {
        CConnectionLimits limits({4, 2, 3});
        QVERIFY(limits.Admit(kHome, 0) == CConnectionLimits::Verdict::Admit);
        QVERIFY(limits.Admit(kOther, 0) == CConnectionLimits::Verdict::Admit);
        limits.Left(kOther);
        limits.Prune(60000);
        QCOMPARE(limits.AddressesKnown(), 1); // kHome still has a connection pending
        QCOMPARE(limits.PendingFrom(kHome), 1);
    }

    // Turns an address gets, in order, with the outcome of each attempt.
    void guessThrottle_data() {
        QTest::addColumn<QList<qint64>>("asks"); // when each attempt asks for its turn
        QTest::addColumn<QList<bool>>("accepted");
        QTest::addColumn<QList<qint64>>("turns");
        QTest::newRow("never failed: at once")
            << QList<qint64>{0, 10, 20} << QList<bool>{true, true, true}
            << QList<qint64>{0, 10, 20};
        QTest::newRow("doubling pause after failures")
            << QList<qint64>{0, 1, 2, 3} << QList<bool>{false, false, false, false}
            << QList<qint64>{0, 2000, 6000, 14000};
        QTest::newRow("a success does not wipe failures")
            << QList<qint64>{0, 1, 2} << QList<bool>{false, true, false}
            << QList<qint64>{0, 2000, 4000};
        QTest::newRow("pause capped") << QList<qint64>{0, 1, 2, 3, 4, 5}
                                      << QList<bool>{false, false, false, false, false, false}
                                      << QList<qint64>{0, 2000, 6000, 14000, 24000, 34000};
        QTest::newRow("forgotten after a quiet period")
            << QList<qint64>{0, 1, 3000000} << QList<bool>{false, false, false}
            << QList<qint64>{0, 2000, 3000000};
    }
    // Each attempt is decided at its turn, before the next one asks.
    void guessThrottle() {
        QFETCH(QList<qint64>, asks);
        QFETCH(QList<bool>, accepted);
        QFETCH(QList<qint64>, turns);
        CLoginThrottle::Settings settings;
        settings.maxDelayMs = 10000;
        settings.loginFirstDelayMs = 0;
        settings.loginMaxDelayMs = 0;
        CLoginThrottle throttle(settings);
        for (qsizetype i = 0; i < asks.size(); ++i) {
            throttle.Prune(asks[i]);
            const qint64 turn = throttle.Reserve(kHome, "alice", asks[i]);
            QCOMPARE(turn, turns[i]);
            throttle.Decided(kHome, "alice", accepted[i], turn);
        }
    }

    // Parallel attempts from one failing address line up; a fresh address is not slowed by
    // the address, but by the login that is under attack only once it has failed itself.
    void parallelAttemptsLineUp() {
        CLoginThrottle::Settings settings;
        CLoginThrottle throttle(settings);
        QCOMPARE(throttle.Reserve(kHome, "alice", 0), 0);
        throttle.Decided(kHome, "alice", false, 0);
        QCOMPARE(throttle.Reserve(kHome, "alice", 100), 2000);
        QCOMPARE(throttle.Reserve(kHome, "alice", 100), 4000);
        QCOMPARE(throttle.Reserve(kHome, "bob", 100), 6000);
        QCOMPARE(throttle.Reserve(kOther, "alice", 100), 100);
        throttle.Decided(kOther, "alice", false, 100);
        // kOther has failed now, so alice's queue (taken up to 5000 by kHome) holds it too.
        QCOMPARE(throttle.Reserve(kOther, "alice", 200), 5000);
        QCOMPARE(throttle.Reserve(kOther, "carol", 200), 7000);
    }

    void undecidedAttemptsAreCapped() {
        CLoginThrottle throttle(CLoginThrottle::Settings{});
        for (int i = 0; i < CLoginThrottle::kMaxUndecided; ++i)
            QCOMPARE(throttle.Reserve(kHome, "alice", 0), 0);
        QCOMPARE(throttle.Reserve(kHome, "alice", 0), CLoginThrottle::kAskAgain);
        QCOMPARE(throttle.Reserve(kOther, "alice", 0), 0);
        throttle.Decided(kHome, "alice", true, 0);
        QCOMPARE(throttle.Reserve(kHome, "alice", 0), 0);
        throttle.Abandoned(kHome);
        QCOMPARE(throttle.Reserve(kHome, "alice", 0), 0);
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

    void logSummaryBoundsItsKeys() {
        CLogSummary summary(60000, 0);
        for (int i = 0; i < CLogSummary::kMaxKeys + 10; ++i)
            QVERIFY(!summary.Count("failed log-ins", QString::number(i), 0));
        QStringList lines;
        summary.Flush(60000, [&](const QString& line) { lines.append(line); });
        QCOMPARE(lines.size(), CLogSummary::kMaxKeys + 1);
        QVERIFY(lines.contains("10 failed log-ins from other addresses in the last 60 s"));
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
