// What the status page counts over time, on a clock the test moves: lines of the last minute
// per client, and the addresses refused or slowed in the last 15 minutes.
#include "CLineRates.h"
#include "CRecentTroubles.h"

#include <QTest>

namespace {
using Kind = CRecentTroubles::Kind;

struct Event {
    qint64 at;
    QByteArray address;
    Kind kind;
};

QByteArray Address(int n) {
    const char bytes[4] = {10, 0, static_cast<char>(n >> 8), static_cast<char>(n)};
    return QByteArray(bytes, 4);
}
} // namespace

Q_DECLARE_METATYPE(QList<Event>)

class TestStatusCounters : public QObject {
    Q_OBJECT

private slots:
    void linesOfTheLastMinute_data() {
        QTest::addColumn<qint64>("sampleEveryMs"); // 0: only the first sample
        QTest::addColumn<qint64>("at");
        QTest::addColumn<int>("in");
        QTest::addColumn<int>("out");
        // 6 lines in and 1 out each second from log-in at 0.
        QTest::newRow("young: all since log-in") << qint64(10000) << qint64(25000) << 150 << 25;
        QTest::newRow("exactly a minute") << qint64(10000) << qint64(60000) << 360 << 60;
        QTest::newRow("long after: about a minute")
            << qint64(10000) << qint64(3600000 + 5000) << 330 << 55;
        QTest::newRow("samples only once a minute")
            << qint64(60000) << qint64(3600000 + 30000) << 180 << 30;
        QTest::newRow("no sample since log-in") << qint64(0) << qint64(90000) << 540 << 90;
    }
    void linesOfTheLastMinute() {
        QFETCH(qint64, sampleEveryMs);
        QFETCH(qint64, at);
        QFETCH(int, in);
        QFETCH(int, out);
        CLineRates rates;
        const auto total = [](qint64 t) {
            return CLineRates::Lines{static_cast<std::uint64_t>(6 * t / 1000),
                                     static_cast<std::uint64_t>(t / 1000)};
        };
        rates.Sample(0, {});
        // The server samples every half second; only one a step is kept.
        for (qint64 t = 500; sampleEveryMs > 0 && t <= at; t += 500) {
            if (t % sampleEveryMs == 0 || sampleEveryMs == CLineRates::kStepMs)
                rates.Sample(t, total(t));
        }
        const CLineRates::Lines last = rates.LastMinute(at, total(at));
        QCOMPARE(last.in, std::uint64_t(in));
        QCOMPARE(last.out, std::uint64_t(out));
    }

    void recentTroubles_data() {
        QTest::addColumn<QList<Event>>("events");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QList<QByteArray>>("order");
        QTest::addColumn<QList<int>>("totals");
        const QByteArray a = Address(1), b = Address(2), c = Address(3);
        QTest::newRow("most first") << QList<Event>{{0, a, Kind::Refused},
                                                    {1000, b, Kind::FailedLogin},
                                                    {2000, b, Kind::Slowed}}
                                    << qint64(3000) << QList<QByteArray>{b, a} << QList<int>{2, 1};
        QTest::newRow("ties by address")
            << QList<Event>{{0, c, Kind::Refused}, {0, a, Kind::Refused}} << qint64(0)
            << QList<QByteArray>{a, c} << QList<int>{1, 1};
        QTest::newRow("older than 15 minutes left out")
            << QList<Event>{{0, a, Kind::Refused},
                            {0, a, Kind::Refused},
                            {14 * 60000, b, Kind::Refused}}
            << qint64(15 * 60000) << QList<QByteArray>{b} << QList<int>{1};
        QTest::newRow("only the old minutes of an address expire")
            << QList<Event>{{0, a, Kind::Refused},
                            {0, a, Kind::Refused},
                            {10 * 60000, a, Kind::Slowed}}
            << qint64(16 * 60000) << QList<QByteArray>{a} << QList<int>{1};
        QTest::newRow("a minute's slot reused an hour later")
            << QList<Event>{{0, a, Kind::Refused}, {60 * 60000, a, Kind::Refused}}
            << qint64(60 * 60000) << QList<QByteArray>{a} << QList<int>{1};
    }
    void recentTroubles() {
        QFETCH(QList<Event>, events);
        QFETCH(qint64, now);
        QFETCH(QList<QByteArray>, order);
        QFETCH(QList<int>, totals);
        CRecentTroubles troubles;
        for (const Event& e : events)
            troubles.Count(e.address, e.kind, e.at);
        int notShown = -1;
        const auto recent = troubles.Recent(now, 10, &notShown);
        QCOMPARE(notShown, 0);
        QCOMPARE(static_cast<qsizetype>(recent.size()), order.size());
        for (qsizetype i = 0; i < order.size(); ++i) {
            QCOMPARE(recent[static_cast<std::size_t>(i)].address, order[i]);
            QCOMPARE(recent[static_cast<std::size_t>(i)].counts.Total(), std::uint64_t(totals[i]));
        }
    }

    void kindsAreCountedApart() {
        CRecentTroubles troubles;
        for (const Kind kind : {Kind::Refused, Kind::FailedLogin, Kind::FailedLogin, Kind::Slowed,
                                Kind::Evicted, Kind::Evicted, Kind::Evicted})
            troubles.Count(Address(1), kind, 0);
        const auto recent = troubles.Recent(0, 1, nullptr);
        QCOMPARE(recent.front().counts.byKind, (std::array<std::uint64_t, 4>{1, 2, 1, 3}));
        QCOMPARE(recent.front().counts.Total(), std::uint64_t(7));
    }

    // A flood from ever new addresses: the table stays bounded, the rest is counted together,
    // and a quiet table makes room again.
    void boundedAgainstManyAddresses() {
        CRecentTroubles troubles;
        const int flood = static_cast<int>(CRecentTroubles::kMaxAddresses) + 500;
        for (int i = 0; i < flood; ++i)
            troubles.Count(Address(i), Kind::Refused, 1000);
        QCOMPARE(troubles.Size(), CRecentTroubles::kMaxAddresses);
        int notShown = 0;
        const auto top = troubles.Recent(1000, 3, &notShown);
        QCOMPARE(top.front().address, QByteArray()); // the 500 past the bound, together
        QCOMPARE(top.front().counts.Total(), std::uint64_t(500));
        QCOMPARE(notShown, static_cast<int>(CRecentTroubles::kMaxAddresses) + 1 - 3);

        troubles.Count(Address(flood), Kind::Refused, 1000 + 15 * 60000);
        QCOMPARE(troubles.Size(), 1);
        QCOMPARE(troubles.Recent(1000 + 15 * 60000, 3, nullptr).front().address, Address(flood));
    }
};

QTEST_GUILESS_MAIN(TestStatusCounters)
#include "TestStatusCounters.moc"
