#pragma once

#include <QByteArray>
#include <QHash>

// Who may open one more connection: at most so many connections awaiting log-in per address
// and in all, and a connection rate per address that lets a burst through (a whole site behind
// one NAT address reconnecting at once) and then only a steady trickle.
//
// The overall cap is shared fairly: when it is reached, a newcomer takes the place of the
// oldest waiting connection of the address that holds the most, so a new address always gets
// a prompt however many addresses hold connections. Addresses that logged in before go first:
// their connections make room for them and are the last to be closed for others.
class CConnectionLimits {
public:
    struct Settings {
        int maxPendingTotal = 1024;
        int maxPendingPerAddress = 32;
        int connectsPerMinute = 60; // also the burst an idle address may open at once
        qint64 rememberTrustedMs = qint64(30) * 24 * 3600 * 1000;
    };
    enum class Verdict { Admit, MakeRoom, ServerFull, TooManyPending, TooFast };

    explicit CConnectionLimits(Settings settings) : m_settings(settings) {}

    // On Admit the connection counts as awaiting log-in until Left. On MakeRoom nothing is
    // counted yet: the caller closes the oldest waiting connection of `victim` (which calls
    // Left) and asks again.
    Verdict Admit(const QByteArray& address, qint64 now, QByteArray* victim = nullptr);
    void Left(const QByteArray& address);
    // An address that logged in.
    void Trust(const QByteArray& address, qint64 now);
    bool IsTrusted(const QByteArray& address) const;
    // Forgets addresses with nothing pending, a full allowance and no recent log-in.
    void Prune(qint64 now);

    int PendingTotal() const { return m_pendingTotal; }
    int PendingFrom(const QByteArray& address) const;
    qsizetype AddressesKnown() const { return m_entries.size(); }

private:
    struct Entry {
        int pending = 0;
        double allowance = 0;
        qint64 refilledAt = 0;
        qint64 trustedAt = -1;
    };
    void Refill(Entry& entry, qint64 now) const;
    bool FindVictim(const Entry& entry, QByteArray* victim) const;

    Settings m_settings;
    QHash<QByteArray, Entry> m_entries;
    QHash<QByteArray, int> m_pending; // addresses with connections awaiting log-in
    int m_pendingTotal = 0;
    qint64 m_lastFullPrune = -1000000;
};
