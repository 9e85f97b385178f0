#pragma once

#include <QByteArray>
#include <QHash>

#include <set>
#include <tuple>
#include <vector>

// Who may open one more connection: at most so many connections awaiting log-in per address
// and in all, and a connection rate per address that lets a burst through (a whole site behind
// one NAT address reconnecting at once) and then only a steady trickle.
//
// The overall cap is shared fairly: when it is reached, a newcomer takes the place of the
// oldest waiting connection of the address that holds the most (among equals, of the one whose
// oldest came first), so a new address always gets a prompt however many addresses hold
// connections, and then the longest time to answer it. Addresses that logged in before go
// first: their connections make room for them and are the last to be closed for others.
class CConnectionLimits {
public:
    struct Settings {
        int maxPendingTotal = 1024;
        int maxPendingPerAddress = 32;
        int connectsPerMinute = 60; // also the burst an idle address may open at once
        qint64 rememberTrustedMs = qint64(30) * 24 * 3600 * 1000;
    };
    enum class Verdict { Admit, MakeRoom, ServerFull, TooManyPending, TooFast };
    // The connection to close for a newcomer.
    struct Victim {
        QByteArray address;
        quint64 id = 0;
        // Its address holds no more than the newcomer's, which logged in before.
        bool forTrusted = false;
    };

    explicit CConnectionLimits(Settings settings) : m_settings(settings) {}

    // On Admit the connection `id` counts as awaiting log-in until Left. On MakeRoom nothing
    // is counted yet: the caller closes `victim` (which calls Left) and asks again.
    Verdict Admit(const QByteArray& address, quint64 id, qint64 now, Victim* victim = nullptr);
    void Left(const QByteArray& address, quint64 id);
    // An address that logged in.
    void Trust(const QByteArray& address, qint64 now);
    bool IsTrusted(const QByteArray& address) const;
    // Forgets addresses with nothing pending, a full allowance and no recent log-in.
    void Prune(qint64 now);

    int PendingTotal() const { return m_pendingTotal; }
    int PendingFrom(const QByteArray& address) const;
    qsizetype AddressesKnown() const { return m_entries.size(); }

private:
    struct Waiting {
        quint64 order = 0; // when it came, among all
        quint64 id = 0;
    };
    struct Entry {
        std::vector<Waiting> waiting; // oldest first
        double allowance = 0;
        qint64 refilledAt = 0;
        qint64 trustedAt = -1;
        int Pending() const { return static_cast<int>(waiting.size()); }
    };
    // Addresses holding connections, the next to give one up first: strangers before those
    // that logged in, then the most held, then the oldest held.
    using Rank = std::tuple<bool, int, quint64, QByteArray>;
    static Rank RankOf(const QByteArray& address, const Entry& entry);
    void Unrank(const QByteArray& address, const Entry& entry);
    void Rerank(const QByteArray& address, const Entry& entry);
    void Refill(Entry& entry, qint64 now) const;
    bool FindVictim(const Entry& entry, Victim* victim) const;

    Settings m_settings;
    QHash<QByteArray, Entry> m_entries;
    std::set<Rank> m_ranks;
    quint64 m_nextOrder = 0;
    int m_pendingTotal = 0;
    qint64 m_lastFullPrune = -1000000;
};
