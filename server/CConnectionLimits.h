#pragma once

#include <QByteArray>
#include <QHash>

// Who may open one more connection: at most so many connections awaiting log-in per address
// and in all, and a connection rate per address that lets a burst through (a whole site behind
// one NAT address reconnecting at once) and then only a steady trickle.
class CConnectionLimits {
public:
    struct Settings {
        int maxPendingTotal = 1024;
        int maxPendingPerAddress = 32;
        int connectsPerMinute = 60; // also the burst an idle address may open at once
    };
    enum class Verdict { Admit, ServerFull, TooManyPending, TooFast };

    explicit CConnectionLimits(Settings settings) : m_settings(settings) {}

    // On Admit the connection counts as awaiting log-in until Left.
    Verdict Admit(const QByteArray& address, qint64 now);
    void Left(const QByteArray& address);
    // Forgets addresses with nothing pending and a full allowance.
    void Prune(qint64 now);

    int PendingTotal() const { return m_pendingTotal; }
    int PendingFrom(const QByteArray& address) const;
    qsizetype AddressesKnown() const { return m_entries.size(); }

private:
    struct Entry {
        int pending = 0;
        double allowance = 0;
        qint64 refilledAt = 0;
    };
    void Refill(Entry& entry, qint64 now) const;

    Settings m_settings;
    QHash<QByteArray, Entry> m_entries;
    int m_pendingTotal = 0;
    qint64 m_lastFullPrune = -1000000;
};
