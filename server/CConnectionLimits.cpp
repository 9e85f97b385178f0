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

// The address holding the most waiting connections, untrusted ones first. It gives one up
// when it holds more than the newcomer (so addresses end up with equal shares), or when it is
// untrusted and the newcomer is trusted.
bool CConnectionLimits::FindVictim(const Entry& entry, QByteArray* victim) const {
    const QByteArray* best = nullptr;
    int bestPending = 0;
    bool bestTrusted = true;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        const auto e = m_entries.constFind(it.key());
        const bool trusted = e != m_entries.cend() && e->trustedAt >= 0;
        if (best == nullptr || (bestTrusted && !trusted) ||
            (trusted == bestTrusted && it.value() > bestPending)) {
            best = &it.key();
            bestPending = it.value();
            bestTrusted = trusted;
        }
    }
    if (best == nullptr)
        return false;
    const bool newcomerTrusted = entry.trustedAt >= 0;
    const bool fair = bestTrusted ? newcomerTrusted && bestPending > entry.pending
                                  : newcomerTrusted || bestPending > entry.pending;
    if (fair && victim)
        *victim = *best;
    return fair;
}

CConnectionLimits::Verdict CConnectionLimits::Admit(const QByteArray& address, qint64 now,
                                                    QByteArray* victim) {
    auto it = m_entries.find(address);
    if (it == m_entries.end()) {
        if (m_entries.size() >= kMaxAddresses && now - m_lastFullPrune >= kFullPruneMs) {
            m_lastFullPrune = now;
            Prune(now);
        }
        if (m_entries.size() >= kMaxAddresses)
            return Verdict::ServerFull;
        it = m_entries.insert(address, Entry{0, double(m_settings.connectsPerMinute), now, -1});
    }
    Entry& entry = it.value();
    if (entry.pending >= m_settings.maxPendingPerAddress)
        return Verdict::TooManyPending;
    Refill(entry, now);
    if (entry.allowance < 1.0)
        return Verdict::TooFast;
    if (m_pendingTotal >= m_settings.maxPendingTotal)
        return FindVictim(entry, victim) ? Verdict::MakeRoom : Verdict::ServerFull;
    entry.allowance -= 1.0;
    ++entry.pending;
    ++m_pending[address];
    ++m_pendingTotal;
    return Verdict::Admit;
}

void CConnectionLimits::Left(const QByteArray& address) {
    const auto it = m_entries.find(address);
    if (it == m_entries.end() || it->pending == 0)
        return;
    --it->pending;
    --m_pendingTotal;
    if (it->pending == 0)
        m_pending.remove(address);
    else
        m_pending[address] = it->pending;
}

void CConnectionLimits::Trust(const QByteArray& address, qint64 now) {
    auto it = m_entries.find(address);
    if (it != m_entries.end())
        it->trustedAt = now;
}

bool CConnectionLimits::IsTrusted(const QByteArray& address) const {
    const auto it = m_entries.constFind(address);
    return it != m_entries.cend() && it->trustedAt >= 0;
}

void CConnectionLimits::Prune(qint64 now) {
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Refill(it.value(), now);
        if (it->trustedAt >= 0 && now - it->trustedAt >= m_settings.rememberTrustedMs)
            it->trustedAt = -1;
        if (it->pending == 0 && it->allowance >= m_settings.connectsPerMinute && it->trustedAt < 0)
            it = m_entries.erase(it);
        else
            ++it;
    }
}

int CConnectionLimits::PendingFrom(const QByteArray& address) const {
    const auto it = m_entries.constFind(address);
    return it == m_entries.cend() ? 0 : it->pending;
}
