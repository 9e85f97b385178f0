#pragma once

#include <QByteArray>
#include <QHash>

// Slows password guessing without ever locking a site out.
//
// Failures are kept per address and login: a wrong password pauses that login from that
// address (2 s doubling, never more than a minute), and a success clears it. An attempt that
// comes while its pause has only a few seconds left is held until the end; one that comes
// earlier is closed at once, so no client waits past its own time-out and fixing the password
// gets in at the first attempt after the pause. Other logins from the same address are not
// slowed.
//
// Across addresses each login has a budget of password checks (a burst, then one a second),
// spent by every address that has not logged in as that login before: many addresses guessing
// one login get no further than one address would, while the login's own sites go on. The last
// few checks of the budget are kept for networks (/24, IPv6 /48) from which that login has not
// failed lately: guessers use them up once per network, and after that a site on a fresh
// address elsewhere still finds a check at once, with no more checks in all.
class CLoginThrottle {
public:
    struct Settings {
        qint64 firstPauseMs = 2000;
        qint64 maxPauseMs = 60000;
        qint64 maxHoldMs = 5000;
        double loginBurst = 10;
        double loginChecksPerSecond = 1;
        // Checks of the burst that only a network without recent failures may take: more than
        // a hold's worth, so checks promised to held guessers never reach them.
        double cleanReserve = 6;
        qint64 forgetFailuresMs = 900000;
        qint64 rememberSuccessMs = qint64(30) * 24 * 3600 * 1000;
    };

    enum class Decision {
        Now,    // ask for the password now
        Hold,   // ask for it at `at`, within maxHoldMs
        Paused, // this address's log-ins as this login are paused: close at once
        Busy,   // the login's checks are spoken for beyond maxHoldMs: close at once
    };
    struct Turn {
        Decision decision = Decision::Now;
        qint64 at = 0;
        bool spent = false;         // took a check from the login's budget
        bool loginSlowed = false;   // this attempt found the login's budget empty first
        bool afterFailures = false; // held to the end of its pause, not for the budget
    };

    explicit CLoginThrottle(Settings settings) : m_settings(settings) {}

    // On Now and Hold the attempt holds a turn until Decided or Abandoned.
    Turn Reserve(const QByteArray& address, const QByteArray& login, qint64 now);
    // Returns the pause that starts with this failure when it closes attempts (longer than
    // a hold), else 0.
    qint64 Decided(const QByteArray& address, const QByteArray& login, const Turn& turn,
                   bool accepted, qint64 now);
    // The client left before its password was checked: its turn and its check go back.
    void Abandoned(const QByteArray& address, const QByteArray& login, const Turn& turn);
    void Prune(qint64 now);

    const Settings& GetSettings() const { return m_settings; }
    int Failures(const QByteArray& address, const QByteArray& login) const;
    qsizetype Size() const { return m_pairs.size() + m_logins.size() + m_failedFrom.size(); }

    // Entries per table at most; a full table is pruned at most once a second.
    static constexpr qsizetype kMaxEntries = 65536;

private:
    struct Pair {
        int failures = 0;
        int undecided = 0;
        qint64 pausedUntil = 0;
        qint64 lastFailure = 0;
        qint64 lastSuccess = -1; // with no failure since
    };
    struct Budget {
        double checks = 0; // below zero: checks promised to held attempts
        qint64 refilledAt = 0;
        bool slowed = false;
    };
    static QByteArray PairKey(const QByteArray& address, const QByteArray& login);
    static QByteArray NetworkKey(const QByteArray& address, const QByteArray& login);
    bool FailedLatelyFrom(const QByteArray& networkKey, qint64 now) const;
    Budget* BudgetOf(const QByteArray& login, qint64 now);
    void Refill(Budget& budget, qint64 now) const;
    void GiveBack(const QByteArray& login);
    bool MakeRoom(qsizetype size, qint64 now);

    Settings m_settings;
    QHash<QByteArray, Pair> m_pairs;
    QHash<QByteArray, Budget> m_logins;
    QHash<QByteArray, qint64> m_failedFrom; // network and login: its last failure
    qint64 m_lastFullPrune = -1000000;
};
