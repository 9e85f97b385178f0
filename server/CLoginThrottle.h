#pragma once

#include <QByteArray>
#include <QHash>

// Slows password guessing. Each failed log-in from an address doubles the pause between that
// address's attempts (2 s up to 5 min); failures on one login from any address add a smaller
// pause on that login, for addresses that have failed. An address without failures is never
// slowed, but at most a few of its attempts are undecided at a time, so a burst of parallel
// guesses gets no further than that before the pauses begin. Everything is forgotten after a
// quiet period.
class CLoginThrottle {
public:
    struct Settings {
        qint64 firstDelayMs = 2000;
        qint64 maxDelayMs = 300000;
        qint64 loginFirstDelayMs = 1000;
        qint64 loginMaxDelayMs = 60000;
        qint64 forgetAfterMs = 900000;
    };

    explicit CLoginThrottle(Settings settings) : m_settings(settings) {}

    // Undecided attempts one address may have without waiting (a site's clients restarting
    // together log in a few round trips apart).
    static constexpr int kMaxUndecided = 8;
    static constexpr qint64 kAskAgain = -1;

    // When this attempt's password may be asked for (now, or later), or kAskAgain while the
    // address has too many undecided attempts. Takes that turn, so parallel attempts from a
    // failing address line up one pause apart; each turn taken ends in Decided or Abandoned.
    qint64 Reserve(const QByteArray& address, const QByteArray& login, qint64 now);
    void Decided(const QByteArray& address, const QByteArray& login, bool accepted, qint64 now);
    void Abandoned(const QByteArray& address);
    void Prune(qint64 now);

    int FailuresFrom(const QByteArray& address) const;
    qsizetype Size() const { return m_addresses.size() + m_logins.size(); }

private:
    struct Entry {
        int failures = 0;
        int undecided = 0;
        qint64 nextTurn = 0;
        qint64 lastFailure = 0;
    };
    void PruneWhenFull(const QHash<QByteArray, Entry>& table, qint64 now);
    void Record(QHash<QByteArray, Entry>& table, const QByteArray& key, qint64 delay0,
                qint64 delayMax, qint64 now);

    Settings m_settings;
    QHash<QByteArray, Entry> m_addresses;
    QHash<QByteArray, Entry> m_logins;
    qint64 m_lastFullPrune = -1000000;
};
