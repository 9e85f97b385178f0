#include "CDebugLog.h"
#include "CWanStations.h"
#include "TestKit.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// A real log file at level 2 and a clock the test sets (m_now in seconds).
class TestWanStations : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    CDebugLog m_log;
    std::int64_t m_now = 1000;
    std::unique_ptr<CWanStations> m_table;

    QString LogPath() const { return m_dir.filePath(QStringLiteral("Kavlink.log")); }

    // The texts of the lines written since the test began, without their time stamps.
    QList<QByteArray> LogTexts() const {
        QList<QByteArray> texts = ::LogTexts(LogPath());
        texts.removeAll("-- Debug Start --");
        return texts;
    }

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        QFile::remove(LogPath());
        m_log.StartDebugLog(2, m_dir.filePath(QStringLiteral("Kavlink.ini")).toStdString(),
                            m_dir.path().toStdString() + "/");
        QVERIFY(m_log.IsOpen());
        m_now = 1000;
        m_table =
            std::make_unique<CWanStations>(m_log, [this] { return m_now * kNanosecondsPerSecond; });
    }
    void cleanup() {
        m_table.reset();
        m_log.EndDebugLog();
    }

    void expiresAfterMoreThan300Seconds() {
        m_table->AddWanStation("K1ABC");
        m_table->ExpireWanStations(1300 - 300);
        QVERIFY(m_table->IsWanStation("K1ABC"));
        m_table->ExpireWanStations(1301 - 300);
        QVERIFY(!m_table->IsWanStation("K1ABC"));
        QCOMPARE(LogTexts(), (QList<QByteArray>{"K1ABC added to the WAN stations",
                                                "K1ABC removed from WAN stations (timeout)"}));
    }

    void refreshMovesTheTimeAndWritesNothing() {
        m_table->AddWanStation("K1ABC");
        m_now = 1200;
        m_table->AddWanStation("K1ABC");
        m_table->ExpireWanStations(1450 - 300); // would have removed the first sighting
        QVERIFY(m_table->IsWanStation("K1ABC"));
        QCOMPARE(LogTexts(), QList<QByteArray>{"K1ABC added to the WAN stations"});
    }

    void twoRemovalsInOneTickGiveTwoLines() {
        m_table->AddWanStation("A1");
        m_table->AddWanStation("B2");
        m_now = 1100;
        m_table->AddWanStation("C3");
        m_table->ExpireWanStations(1050);
        QVERIFY(m_table->IsWanStation("C3"));
        QCOMPARE(m_table->Count(), std::size_t{1});
        QCOMPARE(LogTexts().mid(3), (QList<QByteArray>{"A1 removed from WAN stations (timeout)",
                                                       "B2 removed from WAN stations (timeout)"}));
    }

    void clearWritesNothing() {
        m_table->AddWanStation("A1");
        m_table->ClearWanStations();
        QVERIFY(!m_table->IsWanStation("A1"));
        m_table->ExpireWanStations(5000);
        QCOMPARE(LogTexts(), QList<QByteArray>{"A1 added to the WAN stations"});
    }

    void namesAreCaseSensitive() {
        m_table->AddWanStation("k1abc");
        m_table->AddWanStation("K1ABC");
        QCOMPARE(m_table->Count(), std::size_t{2});
        QVERIFY(!m_table->IsWanStation("K1Abc"));
    }

    void linesAreLevelTwo() {
        m_log.StartDebugLog(1, m_dir.filePath(QStringLiteral("Kavlink.ini")).toStdString(),
                            m_dir.path().toStdString() + "/");
        m_table->AddWanStation("A1");
        m_table->ExpireWanStations(5000);
        QCOMPARE(LogTexts(), QList<QByteArray>{});
    }

    // A flood of names cannot grow the table: the station seen least recently makes room,
    // with one level-1 line per run of such drops. A run ends once expiry has made room.
    void floodDropsLeastRecentlySeenWithOneLinePerRun() {
        m_log.StartDebugLog(1, m_dir.filePath(QStringLiteral("Kavlink.ini")).toStdString(),
                            m_dir.path().toStdString() + "/");
        const std::size_t bound = CWanStations::kMaxStations;
        QCOMPARE(bound, std::size_t{65536});
        for (std::size_t i = 0; i < bound; ++i)
            m_table->AddWanStation("S" + std::to_string(i));
        QCOMPARE(LogTexts(), QList<QByteArray>{});
        m_now = 1001;
        m_table->AddWanStation("S0"); // seen again: no longer the oldest
        for (const char* name : {"N1", "N2", "N3"})
            m_table->AddWanStation(name);
        QCOMPARE(m_table->Count(), bound);
        QVERIFY(m_table->IsWanStation("S0"));
        QVERIFY(m_table->IsWanStation("N3"));
        for (const char* name : {"S1", "S2", "S3"})
            QVERIFY2(!m_table->IsWanStation(name), name);
        QVERIFY(m_table->IsWanStation("S4"));
        const QByteArray full =
            "WAN station table full (65536): dropping the oldest stations early";
        QCOMPARE(LogTexts(), QList<QByteArray>{full});

        m_table->ExpireWanStations(1001);
        QCOMPARE(m_table->Count(), std::size_t{4});
        // One more than there is room for.
        for (std::size_t i = 0; i < bound - 3; ++i)
            m_table->AddWanStation("T" + std::to_string(i));
        QCOMPARE(m_table->Count(), bound);
        QVERIFY(!m_table->IsWanStation("S0"));
        QVERIFY(m_table->IsWanStation("N1"));
        QCOMPARE(LogTexts(), (QList<QByteArray>{full, full}));
    }

    void tunnelAndEmptyNamesNeverEnter_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("fresh tunnel name") << QByteArray("~");
        QTest::newRow("named tunnel") << QByteArray("~K1ABC");
    }
    void tunnelAndEmptyNamesNeverEnter() {
        QFETCH(QByteArray, name);
        m_table->AddWanStation(name.toStdString());
        QCOMPARE(m_table->Count(), std::size_t{0});
        QVERIFY(!m_table->IsWanStation(name.toStdString()));
        QCOMPARE(LogTexts(), QList<QByteArray>{});
    }
};

QTEST_GUILESS_MAIN(TestWanStations)
#include "TestWanStations.moc"
