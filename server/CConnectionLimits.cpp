#include "CConnectionLimits.h"

#include <algorithm>

namespace {
// Addresses known at most; a full table is pruned at most once a second, and while it stays
// full new addresses wait (they are as many distinct sources within the last minute).
constexpr qsizetype kMaxAddresses = 65536;
constexpr qint64 kFullPruneMs = 1000;
} // namespace

void CConnectionLimits::Refill(Entry& entry, qint64 now) const {
    const double perMs = m_settings.connectsPerMinute / 60000.0;
    const double capacity = m_settings.connectsPerMinute;
    entry.allowance =
        std::min(capacity, entry.allowance + static_cast<double>(now - entry.refilledAt) * perMs);
    entry.refilledAt = now;
}

CConnectionLimits::Rank CConnectionLimits::RankOf(const QByteArray& address, const Entry& entry) {
    return {entry.trustedAt >= 0, -entry.Pending(), entry.waiting.front().order, address};
}

void CConnectionLimits::Unrank(const QByteArray& address, const Entry& entry) {
    if (!entry.waiting.empty())
        m_ranks.erase(RankOf(address, entry));
}

void CConnectionLimits::Rerank(const QByteArray& address, const Entry& entry) {
    if (!entry.waiting.empty())
        m_ranks.insert(RankOf(address, entry));
}

// The first ranked address gives up its oldest when it holds more than the newcomer (so
// addresses end up with equal shares), or when it is untrusted and the newcomer is trusted.
bool CConnectionLimits::FindVictim(const Entry& entry, Victim* victim) const {
    if (m_ranks.empty())
        return false;
    const auto& [bestTrusted, minusPending, order, address] = *m_ranks.begin();
    const bool newcomerTrusted = entry.trustedAt >= 0;
    const bool holdsMore = -minusPending > entry.Pending();
    const bool fair = bestTrusted ? newcomerTrusted && holdsMore : newcomerTrusted || holdsMore;
    if (fair && victim)
        *victim = {address, m_entries.value(address).waiting.front().id, !holdsMore};
    return fair;
}

CConnectionLimits::Verdict CConnectionLimits::Admit(const QByteArray& address, quint64 id,
                                                    qint64 now, Victim* victim) {
    auto it = m_entries.find(address);
    if (it == m_entries.end()) {
        if (m_entries.size() >= kMaxAddresses && now - m_lastFullPrune >= kFullPruneMs) {
            m_lastFullPrune = now;
            Prune(now);
        }
        if (m_entries.size() >= kMaxAddresses)
            return Verdict::ServerFull;
        it = m_entries.insert(address, Entry{{}, double(m_settings.connectsPerMinute), now, -1});
    }
    Entry& entry = it.value();
    if (entry.Pending() >= m_settings.maxPendingPerAddress)
        return Verdict::TooManyPending;
    Refill(entry, now);
    if (entry.allowance < 1.0)
        return Verdict::TooFast;
    if (m_pendingTotal >= m_settings.maxPendingTotal)
        return FindVictim(entry, victim) ? Verdict::MakeRoom : Verdict::ServerFull;
    entry.allowance -= 1.0;
    Unrank(address, entry);
    entry.waiting.push_back({m_nextOrder++, id});
    Rerank(address, entry);
    ++m_pendingTotal;
    return Verdict::Admit;
}

void CConnectionLimits::Left(const QByteArray& address, quint64 id) {
    const auto it = m_entries.find(address);
    if (it == m_entries.end())
        return;
    std::vector<Waiting>& waiting = it->waiting;
    const auto one =
        std::find_if(waiting.begin(), waiting.end(), [id](const Waiting& w) { return w.id == id; });
    if (one == waiting.end())
        return;
    Unrank(address, *it);
    waiting.erase(one);
    Rerank(address, *it);
    --m_pendingTotal;
}

void CConnectionLimits::Trust(const QByteArray& address, qint64 now) {
    auto it = m_entries.find(address);
    if (it == m_entries.end())
        return;
    Unrank(address, *it);
    it->trustedAt = now;
    Rerank(address, *it);
}

bool CConnectionLimits::IsTrusted(const QByteArray& address) const {
    const auto it = m_entries.constFind(address);
    return it != m_entries.cend() && it->trustedAt >= 0;
}

void CConnectionLimits::Prune(qint64 now) {
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Refill(it.value(), now);
        if (it->trustedAt >= 0 && now - it->trustedAt >= m_settings.rememberTrustedMs) {
            Unrank(it.key(), *it);
            it->trustedAt = -1;
            Rerank(it.key(), *it);
        }
        if (it->waiting.empty() && it->allowance >= m_settings.connectsPerMinute &&
            it->trustedAt < 0)
            it = m_entries.erase(it);
        else
            ++it;
    }
}

int CConnectionLimits::PendingFrom(const QByteArray& address) const {
    const auto it = m_entries.constFind(address);
    return it == m_entries.cend() ? 0 : it->Pending();
}
