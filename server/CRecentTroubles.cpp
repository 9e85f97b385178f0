#include "CRecentTroubles.h"

#include <algorithm>

CRecentTroubles::Counts CRecentTroubles::History::Sum(qint64 nowStep) const {
    Counts sum;
    for (const Step& step : steps) {
        if (step.index >= 0 && nowStep - step.index < kSteps) {
            for (std::size_t k = 0; k < sum.byKind.size(); ++k)
                sum.byKind[k] += step.counts.byKind[k];
        }
    }
    return sum;
}

void CRecentTroubles::Count(const QByteArray& address, Kind kind, qint64 now) {
    auto it = m_addresses.find(address);
    // A full table is pruned at most once a second: a flood of new addresses costs no more.
    if (it == m_addresses.end() && m_addresses.size() >= kMaxAddresses &&
        now - m_lastFullPrune >= 1000) {
        m_lastFullPrune = now;
        Prune(now);
    }
    History* history = &m_others;
    if (it != m_addresses.end())
        history = &*it;
    else if (m_addresses.size() < kMaxAddresses)
        history = &*m_addresses.insert(address, History{});
    const qint64 index = StepOf(now);
    Step& step = history->steps[static_cast<std::size_t>(index % kSteps)];
    if (step.index != index)
        step = Step{index, {}};
    ++step.counts.byKind[static_cast<std::size_t>(kind)];
    history->lastStep = index;
}

std::vector<CRecentTroubles::Entry> CRecentTroubles::Recent(qint64 now, int most,
                                                            int* notShown) const {
    const qint64 nowStep = StepOf(now);
    std::vector<Entry> all;
    for (auto it = m_addresses.cbegin(); it != m_addresses.cend(); ++it) {
        const Counts counts = it->Sum(nowStep);
        if (counts.Total() > 0)
            all.push_back({it.key(), counts});
    }
    const Counts others = m_others.Sum(nowStep);
    if (others.Total() > 0)
        all.push_back({QByteArray(), others});
    std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) {
        return a.counts.Total() != b.counts.Total() ? a.counts.Total() > b.counts.Total()
                                                    : a.address < b.address;
    });
    const auto shown = std::min<std::size_t>(all.size(), static_cast<std::size_t>(most));
    if (notShown)
        *notShown = static_cast<int>(all.size() - shown);
    all.resize(shown);
    return all;
}

void CRecentTroubles::Prune(qint64 now) {
    const qint64 nowStep = StepOf(now);
    for (auto it = m_addresses.begin(); it != m_addresses.end();) {
        if (nowStep - it->lastStep >= kSteps)
            it = m_addresses.erase(it);
        else
            ++it;
    }
}
