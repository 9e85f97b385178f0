#include "CEchoMemory.h"

#include <QTest>

class TestEchoMemory : public QObject {
    Q_OBJECT

private slots:
    void eachEntryServesOneEcho() {
        std::int64_t now = 100;
        CEchoMemory memory([&] { return now * kNanosecondsPerSecond; });
        memory.Remember("A");
        memory.Remember("A");
        QVERIFY(memory.Consume("A"));
        QVERIFY(memory.Consume("A"));
        QVERIFY(!memory.Consume("A"));
        QVERIFY(!memory.Consume("B"));
    }

    void entriesExpireUnlessEchoesAreHeldUp() {
        std::int64_t now = 100;
        CEchoMemory memory([&] { return now * kNanosecondsPerSecond; });
        memory.Remember("late");
        memory.Remember("lost");
        now += CEchoMemory::kLifetimeSeconds + 10;
        // Behind a LAN backlog: nothing expires.
        QVERIFY(memory.Consume("late", false));
        QVERIFY(memory.Consume("lost", true) == false);
        QCOMPARE(memory.Size(), 0u);
    }

    void boundedByCount() {
        std::int64_t now = 100;
        CEchoMemory memory([&] { return now * kNanosecondsPerSecond; });
        for (std::size_t i = 0; i < CEchoMemory::kMaxEntries + 10; ++i)
            memory.Remember(std::to_string(i));
        QCOMPARE(memory.Size(), CEchoMemory::kMaxEntries);
        QVERIFY(!memory.Consume("0"));
        QVERIFY(memory.Consume(std::to_string(CEchoMemory::kMaxEntries + 9)));
    }
};

QTEST_GUILESS_MAIN(TestEchoMemory)
#include "TestEchoMemory.moc"
