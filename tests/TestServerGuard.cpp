// The server's guard on an injected clock: a client that fixes its password gets in, a
// neighbour is never slowed, guessing one login is bounded however many addresses try, the
// log-in cap is shared fairly among addresses, and passwords are checked off the relay's thread.
#include "CConnectionLimits.h"
#include "CLoginThrottle.h"
#include "CPasswordChecks.h"
#include "CUserTable.h"

#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <optional>
#include <vector>

namespace {
using Decision = CLoginThrottle::Decision;

QByteArray Address(int n) {
    const char bytes[4] = {10, static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                           static_cast<char>(n)};
    return QByteArray(bytes, 4);
}

// A client as Kavlink behaves: closed 2 s after a refusal, it connects again 5 s later; closed
// at once, 5 s later; a prompt that does not come within 60 s makes it give up and retry.
struct ClientRun {
    qint64 inAt = -1;
    qint64 longestWait = 0;
};
ClientRun RunClient(CLoginThrottle& throttle, const QByteArray& address, const QByteArray& login,
                    qint64 fixAt, qint64 until) {
    ClientRun run;
    for (qint64 t = 0; t < until;) {
        throttle.Prune(t);
        const CLoginThrottle::Turn turn = throttle.Reserve(address, login, t);
        if (turn.decision == Decision::Paused || turn.decision == Decision::Busy) {
            t += 5000;
            continue;
        }
        run.longestWait = std::max(run.longestWait, turn.at - t);
        if (turn.at - t >= 60000) {
            throttle.Abandoned(address, login, turn);
            t += 65000;
            continue;
        }
        const bool right = turn.at >= fixAt;
        throttle.Decided(address, login, turn, right, turn.at);
        if (right) {
            run.inAt = turn.at;
            return run;
        }
        t = turn.at + 7000;
    }
    return run;
}

// "pw" with 1 000 rounds: quick, and as real as any.
const QByteArray
    kHash("$5$rounds=1000$rEk8mHciMg1Qyx7u$KKis4o.rEhGson4.RBoURU9wvLKYDJu5wRzAMNAPlD5");

using Outcome = CPasswordChecks::Outcome;

// Password checks on a clock of the test's own, with a matcher that counts its calls and can
// be held on a gate until the test lets it finish.
struct Checks {
    qint64 now = 0;
    std::atomic<int> calls = 0;
    std::atomic<bool> offThread = true;
    std::atomic<bool> gated = false;
    QSemaphore gate;
    CPasswordChecks checks;

    explicit Checks(CPasswordChecks::Settings settings = {})
        : checks(settings, [this] { return now; }) {
        QThread* owner = QThread::currentThread();
        checks.SetMatcher([this, owner](const QByteArray& expected, const QByteArray& password) {
            ++calls;
            if (QThread::currentThread() == owner)
                offThread = false;
            if (gated)
                gate.acquire();
            return PasswordMatches(expected, password);
        });
    }
    // Asks, and keeps the answer; none may come within the call.
    std::optional<Outcome>* Ask(const QByteArray* expected, const QByteArray& password,
                                bool hashesInUse = true) {
        answers.push_back(std::make_unique<std::optional<Outcome>>());
        std::optional<Outcome>* answer = answers.back().get();
        checks.Check(expected, password, hashesInUse, [answer](Outcome o) { *answer = o; });
        return answer;
    }
    std::vector<std::unique_ptr<std::optional<Outcome>>> answers;
};

enum class Action { Connect, Leave, Trust };
struct Step {
    QByteArray from;
    Action action = Action::Connect;
    CConnectionLimits::Verdict verdict = CConnectionLimits::Verdict::Admit;
    QByteArray victim = {};
    int victimStep = -1; // the step whose connection goes, when it matters
};
} // namespace

Q_DECLARE_METATYPE(QList<Step>)
Q_DECLARE_METATYPE(std::optional<QByteArray>)
Q_DECLARE_METATYPE(CPasswordChecks::Outcome)

class TestServerGuard : public QObject {
    Q_OBJECT

private slots:
    void fixedPasswordGetsIn_data() {
        QTest::addColumn<qint64>("fixAt");
        QTest::newRow("fixed after 30 s of failures") << qint64(30000);
        QTest::newRow("fixed after 2 min") << qint64(120000);
        QTest::newRow("fixed after 10 min") << qint64(600000);
        QTest::newRow("fixed after 2 h") << qint64(7200000);
    }
    // Whatever happened before, in within 70 s of the fix, and never held near the client's
    // own time-out.
    void fixedPasswordGetsIn() {
        QFETCH(qint64, fixAt);
        CLoginThrottle throttle({});
        const ClientRun run = RunClient(throttle, Address(1), "site", fixAt, fixAt + 600000);
        QVERIFY2(run.inAt >= fixAt && run.inAt - fixAt <= 70000,
                 qPrintable(QString::number(run.inAt - fixAt)));
        QVERIFY2(run.longestWait <= throttle.GetSettings().maxHoldMs,
                 qPrintable(QString::number(run.longestWait)));
        // The success cleared that address's failures for that login.
        QCOMPARE(throttle.Failures(Address(1), "site"), 0);
    }

    // A second site behind the same address, with its own login, is never slowed by the
    // first one's failures.
    void natNeighbourIsNotSlowed() {
        CLoginThrottle throttle({});
        for (qint64 t = 0; t < 600000; t += 7000) {
            const auto failing = throttle.Reserve(Address(1), "site-a", t);
            if (failing.decision == Decision::Now || failing.decision == Decision::Hold)
                throttle.Decided(Address(1), "site-a", failing, false, failing.at);
            const auto neighbour = throttle.Reserve(Address(1), "site-b", t + 1);
            QCOMPARE(neighbour.decision, Decision::Now);
            throttle.Decided(Address(1), "site-b", neighbour, true, t + 1);
        }
        QVERIFY(throttle.Failures(Address(1), "site-a") > 5);
    }

    // A client that leaves while held gives its turn back: the next attempt is not taken for
    // a parallel one, and the login's check returns.
    void abandonedTurnIsGivenBack() {
        CLoginThrottle throttle({});
        auto turn = throttle.Reserve(Address(1), "site", 0);
        throttle.Decided(Address(1), "site", turn, false, 0);
        turn = throttle.Reserve(Address(1), "site", 1000);
        QCOMPARE(turn.decision, Decision::Hold);
        QCOMPARE(throttle.Reserve(Address(1), "site", 1000).decision, Decision::Paused);
        throttle.Abandoned(Address(1), "site", turn);
        QCOMPARE(throttle.Reserve(Address(1), "site", 1500).decision, Decision::Hold);
    }

    void entriesExpire() {
        CLoginThrottle throttle({});
        for (int i = 0; i < 100; ++i) {
            const auto turn = throttle.Reserve(Address(i), "site", 0);
            throttle.Decided(Address(i), "site", turn, false, 0);
        }
        QVERIFY(throttle.Size() > 0);
        throttle.Prune(throttle.GetSettings().forgetFailuresMs);
        QCOMPARE(throttle.Size(), 0);
    }

    void guessingIsBounded_data() {
        QTest::addColumn<int>("addresses");
        QTest::addColumn<bool>("networkEach"); // each guesser in a /24 of its own
        QTest::addColumn<int>("freshIn");      // of 12 sites on fresh addresses, in within 2 s
        QTest::newRow("one address") << 1 << false << 12;
        QTest::newRow("500 addresses in two /24s") << 500 << false << 12;
        QTest::newRow("500 addresses in 500 /24s") << 500 << true << 0;
    }
    // Attackers guess one login as fast as the server lets them, for a minute: the checks they
    // get stay within the login's budget however they spread. The login's own site, from the
    // address it logged in from before, gets in at once all along; one on a fresh address,
    // every 5 s, gets in within 2 s unless the guessers come from ever new networks.
    void guessingIsBounded() {
        QFETCH(int, addresses);
        QFETCH(bool, networkEach);
        QFETCH(int, freshIn);
        CLoginThrottle throttle({});
        const QByteArray home = Address(100000);
        auto turn = throttle.Reserve(home, "alice", 0);
        throttle.Decided(home, "alice", turn, true, 0);

        struct Attacker {
            QByteArray address;
            qint64 next = 1000;
            bool held = false;
            CLoginThrottle::Turn turn;
        };
        std::vector<Attacker> attackers;
        for (int i = 0; i < addresses; ++i) {
            const QByteArray address = networkEach ? Address(0x20000 + (i << 8) + 1) : Address(i);
            attackers.push_back({address, 1000 + i % 100, false, {}});
        }
        int early = 0; // checks in the first 10 s
        int late = 0;
        int fresh = 0;
        for (qint64 now = 1000; now < 61000; now += 10) {
            for (Attacker& a : attackers) {
                if (now < a.next)
                    continue;
                if (a.held) {
                    throttle.Decided(a.address, "alice", a.turn, false, now);
                    ++(now < 11000 ? early : late);
                    a.held = false;
                    a.next = now + 100;
                    continue;
                }
                a.turn = throttle.Reserve(a.address, "alice", now);
                const bool closed =
                    a.turn.decision == Decision::Paused || a.turn.decision == Decision::Busy;
                a.held = !closed;
                a.next = closed ? now + 100 : a.turn.at;
            }
            if (now % 5000 == 0) {
                turn = throttle.Reserve(home, "alice", now);
                QCOMPARE(turn.decision, Decision::Now);
                throttle.Decided(home, "alice", turn, true, now);
            }
            if (now % 5000 == 2500) {
                const QByteArray site = Address(0x100000 + static_cast<int>(now / 5000));
                turn = throttle.Reserve(site, "alice", now);
                if (turn.decision == Decision::Now || turn.decision == Decision::Hold) {
                    fresh += turn.at - now <= 2000 ? 1 : 0;
                    throttle.Decided(site, "alice", turn, true, turn.at);
                }
            }
        }
        QVERIFY2(early <= 20, qPrintable(QString::number(early)));
        QVERIFY2(late <= 51, qPrintable(QString::number(late)));
        QVERIFY2(fresh >= freshIn, qPrintable(QString::number(fresh)));
    }

    void admission_data() {
        using V = CConnectionLimits::Verdict;
        QTest::addColumn<QList<Step>>("steps");
        // Every row: 4 awaiting log-in in all, 3 from one address; each connection is known by
        // the step that opened it, and a Leave is that of the address's oldest.
        const QByteArray a = Address(2), b = Address(3), c = Address(4);
        const auto MakeRoom = V::MakeRoom;
        const auto Connect = Action::Connect;
        QTest::newRow("among equal holders, the oldest connection of all goes")
            << QList<Step>{{a}, {b}, {b}, {a}, {c, Connect, MakeRoom, a, 0}};
        QTest::newRow("the same, the other way round")
            << QList<Step>{{b}, {a}, {a}, {b}, {c, Connect, MakeRoom, b, 0}};
        QTest::newRow("its oldest left: the next oldest of all goes") << QList<Step>{
            {a}, {a}, {b}, {b}, {a, Action::Leave}, {a}, {c, Connect, MakeRoom, a, 1}};
        QTest::newRow("the biggest holder goes first, though its connections are newer")
            << QList<Step>{{a}, {b}, {b}, {b}, {c, Connect, MakeRoom, b, 1}};
        QTest::newRow("newcomers take the oldest in turn")
            << QList<Step>{{a},
                           {b},
                           {c},
                           {a},
                           {Address(5), Connect, MakeRoom, a, 0},
                           {Address(6), Connect, MakeRoom, b, 1},
                           {Address(7), Connect, MakeRoom, c, 2}};
        QTest::newRow("a new address takes the place of the biggest holder")
            << QList<Step>{{a}, {a}, {a}, {b}, {c, Action::Connect, V::MakeRoom, a}};
        QTest::newRow("an address holding as many as the biggest is refused")
            << QList<Step>{{a}, {a}, {b}, {b}, {b, Action::Connect, V::ServerFull}};
        QTest::newRow("one that logged in before makes room among equals") << QList<Step>{
            {c}, {c, Action::Trust}, {c}, {a}, {a}, {c, Action::Connect, V::MakeRoom, a}};
        QTest::newRow("one that logged in before is the last to make room") << QList<Step>{
            {a}, {a, Action::Trust}, {a}, {a}, {b}, {c, Action::Connect, V::MakeRoom, b}};
        QTest::newRow("only trusted holders: a stranger is refused")
            << QList<Step>{{a},
                           {a, Action::Trust},
                           {a},
                           {a},
                           {b},
                           {b, Action::Trust},
                           {c, Action::Connect, V::ServerFull}};
    }
    void admission() {
        QFETCH(QList<Step>, steps);
        CConnectionLimits limits({4, 3, 60});
        QHash<QByteArray, QList<quint64>> held;
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            const qint64 now = i * 100;
            if (step.action == Action::Leave) {
                limits.Left(step.from, held[step.from].takeFirst());
                continue;
            }
            if (step.action == Action::Trust) {
                limits.Trust(step.from, now);
                continue;
            }
            const auto id = static_cast<quint64>(i);
            CConnectionLimits::Victim victim;
            QVERIFY2(limits.Admit(step.from, id, now, &victim) == step.verdict,
                     qPrintable(QStringLiteral("step %1").arg(i)));
            QCOMPARE(victim.address, step.victim);
            if (step.victimStep >= 0)
                QCOMPARE(victim.id, quint64(step.victimStep));
            if (step.verdict == CConnectionLimits::Verdict::MakeRoom) {
                limits.Left(victim.address, victim.id);
                held[victim.address].removeOne(victim.id);
                QVERIFY(limits.Admit(step.from, id, now) == CConnectionLimits::Verdict::Admit);
            }
            if (limits.PendingFrom(step.from) > held[step.from].size())
                held[step.from].append(id);
        }
    }

    // 2 000 addresses taking turns at holding one connection each: every newcomer gets in.
    void manyAddressesCannotFillTheCap() {
        CConnectionLimits limits({});
        for (int i = 0; i < 2000; ++i) {
            CConnectionLimits::Victim victim;
            const auto id = static_cast<quint64>(i);
            auto verdict = limits.Admit(Address(i), id, i, &victim);
            if (verdict == CConnectionLimits::Verdict::MakeRoom) {
                limits.Left(victim.address, victim.id);
                verdict = limits.Admit(Address(i), id, i);
            }
            QVERIFY(verdict == CConnectionLimits::Verdict::Admit);
        }
        QCOMPARE(limits.PendingTotal(), 1024);
    }

    // 2 000 addresses hold the cap and come back 5 to 6 s after each eviction, about 200
    // evictions a second; ten sites on fresh addresses, one every 5 s, each get a prompt and keep
    // it the 2 s a log-in with a slow hash takes.
    void freshAddressKeepsItsTurn() {
        CConnectionLimits limits({});
        struct Holder {
            qint64 next = 0;
            quint64 id = 0; // 0: not connected
        };
        std::vector<Holder> holders(2000);
        for (std::size_t i = 0; i < holders.size(); ++i)
            holders[i].next = static_cast<qint64>(i) * 5000 / 2000;
        QHash<quint64, std::size_t> holderOf;
        quint64 nextId = 1;
        const auto admit = [&](const QByteArray& address, qint64 now) -> quint64 {
            const quint64 id = nextId++;
            CConnectionLimits::Victim victim;
            auto verdict = limits.Admit(address, id, now, &victim);
            if (verdict == CConnectionLimits::Verdict::MakeRoom) {
                limits.Left(victim.address, victim.id);
                if (holderOf.contains(victim.id)) // back after 5 s and a bit
                    holders[holderOf.take(victim.id)] = {now + 5000 + now % 997, 0};
                verdict = limits.Admit(address, id, now);
            }
            return verdict == CConnectionLimits::Verdict::Admit ? id : 0;
        };
        int sitesIn = 0;
        quint64 site = 0;
        qint64 siteSince = 0;
        for (qint64 now = 0; now < 80000; now += 10) {
            for (std::size_t i = 0; i < holders.size(); ++i) {
                if (holders[i].id == 0 && now >= holders[i].next) {
                    holders[i].id = admit(Address(i), now);
                    if (holders[i].id != 0)
                        holderOf.insert(holders[i].id, i);
                    else
                        holders[i].next = now + 5000;
                }
            }
            if (site != 0 && limits.PendingFrom(Address(100000 + sitesIn)) == 0) {
                QFAIL(qPrintable(QStringLiteral("site %1 evicted after %2 ms")
                                     .arg(sitesIn)
                                     .arg(now - siteSince)));
            }
            if (site != 0 && now - siteSince >= 2000) {
                limits.Left(Address(100000 + sitesIn), site); // logged in
                site = 0;
                ++sitesIn;
            }
            if (site == 0 && sitesIn < 10 && now >= 20000 + sitesIn * 5000) {
                site = admit(Address(100000 + sitesIn), now);
                QVERIFY(site != 0);
                siteSince = now;
            }
        }
        QCOMPARE(sitesIn, 10);
        QCOMPARE(limits.PendingTotal(), 1024);
    }

    void passwordChecks_data() {
        QTest::addColumn<std::optional<QByteArray>>("expected"); // none: not in the users file
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<bool>("hashesInUse");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<bool>("hashed");
        using E = std::optional<QByteArray>;
        QTest::newRow("right password for a hash")
            << E(kHash) << QByteArray("pw") << true << Outcome::Accepted << true;
        QTest::newRow("wrong password for a hash")
            << E(kHash) << QByteArray("pW") << true << Outcome::Refused << true;
        QTest::newRow("password with a NUL before the right one")
            << E(kHash) << QByteArray("pw\0x", 4) << true << Outcome::Refused << true;
        QTest::newRow("right plain password")
            << E("pw") << QByteArray("pw") << true << Outcome::Accepted << false;
        QTest::newRow("wrong plain password")
            << E("pw") << QByteArray("pw ") << true << Outcome::Refused << false;
        QTest::newRow("unknown login beside hashes")
            << E() << QByteArray("pw") << true << Outcome::Refused << false;
        QTest::newRow("unknown login, plain passwords only")
            << E() << QByteArray("pw") << false << Outcome::Refused << false;
    }
    // A hash is worked out on a worker; nothing else costs one. The answer never comes within
    // the call, always on the caller's thread.
    void passwordChecks() {
        QFETCH(std::optional<QByteArray>, expected);
        QFETCH(QByteArray, password);
        QFETCH(bool, hashesInUse);
        QFETCH(Outcome, outcome);
        QFETCH(bool, hashed);
        Checks c;
        const auto* answer = c.Ask(expected ? &*expected : nullptr, password, hashesInUse);
        QVERIFY(!answer->has_value());
        QVERIFY(QTest::qWaitFor([&] {
            c.checks.Tick(c.now += 10);
            return answer->has_value();
        }));
        QCOMPARE(**answer, outcome);
        QCOMPARE(c.calls.load(), hashed ? 1 : 0);
        QVERIFY(c.offThread);
    }

    // An unknown login's refusal comes when a recent check would have ended, on the clock.
    void unknownLoginTakesAsLongAsACheck() {
        Checks c;
        c.gated = true;
        const auto* known = c.Ask(&kHash, "guess");
        QVERIFY(QTest::qWaitFor([&] { return c.calls == 1; }));
        c.now += 80;
        c.gate.release();
        QVERIFY(QTest::qWaitFor([&] { return known->has_value(); }));
        const auto* unknown = c.Ask(nullptr, "guess");
        c.now += 79;
        c.checks.Tick(c.now);
        QTest::qWait(10);
        QVERIFY(!unknown->has_value());
        c.checks.Tick(++c.now);
        QCOMPARE(*unknown, std::optional(Outcome::Refused));
        QCOMPARE(c.calls.load(), 1);
    }

    // Past the queue's bound an attempt is answered QueueFull, timed as a check, without work;
    // the queued ones are answered once the workers are free.
    void fullQueueCostsNothing() {
        Checks c({1, 2});
        c.gated = true;
        const auto* first = c.Ask(&kHash, "pw");
        const auto* second = c.Ask(&kHash, "x");
        const auto* third = c.Ask(&kHash, "pw");
        c.checks.Tick(c.now += CPasswordChecks::kFirstGuessMs);
        QCOMPARE(*third, std::optional(Outcome::QueueFull));
        QVERIFY(!first->has_value() && !second->has_value());
        c.gate.release(2);
        QVERIFY(QTest::qWaitFor([&] { return first->has_value() && second->has_value(); }));
        QCOMPARE(*first, std::optional(Outcome::Accepted));
        QCOMPARE(*second, std::optional(Outcome::Refused));
        QCOMPARE(c.calls.load(), 2);
        QCOMPARE(c.checks.Queued(), 0);
    }

    void connectionRate() {
        CConnectionLimits limits({4, 4, 3});
        using V = CConnectionLimits::Verdict;
        const QByteArray a = Address(2);
        for (quint64 i = 0; i < 3; ++i) {
            QVERIFY(limits.Admit(a, i, 0) == V::Admit);
            limits.Left(a, i);
        }
        QVERIFY(limits.Admit(a, 3, 0) == V::TooFast);
        QVERIFY(limits.Admit(a, 3, 19000) == V::TooFast);
        QVERIFY(limits.Admit(a, 3, 20000) == V::Admit);
        QVERIFY(limits.Admit(Address(3), 4, 20000) == V::Admit);
    }
};

QTEST_GUILESS_MAIN(TestServerGuard)
#include "TestServerGuard.moc"
