#pragma once

#include <QByteArray>
#include <QHash>

#include <array>
#include <cstdint>
#include <vector>

// The addresses that the guard refused, slowed or evicted lately, with their counts over the
// last 15 minutes in one-minute steps, for the status page. Bounded: past kMaxAddresses, events
// from further addresses are counted together.
class CRecentTroubles {
public:
    enum class Kind { Refused, FailedLogin, Slowed, Evicted };
    static constexpr qint64 kStepMs = 60000;
    static constexpr int kSteps = 15;
    static constexpr qsizetype kMaxAddresses = 4096;

    struct Counts {
        std::array<std::uint64_t, 4> byKind{};
        std::uint64_t Total() const { return byKind[0] + byKind[1] + byKind[2] + byKind[3]; }
    };
    struct Entry {
        QByteArray address; // an address key; empty for the addresses past the bound
        Counts counts;
    };

    void Count(const QByteArray& address, Kind kind, qint64 now);
    // Those with events in the last 15 minutes, most events first (then by address), at most
    // `most`; *notShown gets how many more there are.
    std::vector<Entry> Recent(qint64 now, int most, int* notShown) const;
    // Forgets addresses quiet for 15 minutes.
    void Prune(qint64 now);
    qsizetype Size() const { return m_addresses.size(); }

private:
    struct Step {
        qint64 index = -1; // now / kStepMs
        Counts counts;
    };
    struct History {
        std::array<Step, kSteps> steps;
        qint64 lastStep = -1;
        Counts Sum(qint64 nowStep) const;
    };
    static constexpr qint64 StepOf(qint64 now) { return now / kStepMs; }

    QHash<QByteArray, History> m_addresses;
    History m_others;
    qint64 m_lastFullPrune = -1000000;
};
