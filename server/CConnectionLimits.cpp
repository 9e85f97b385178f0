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

CConnectionLimits::Verdict CConnectionLimits::Admit(const QByteArray& address, qint64 now) {
    if (m_pendingTotal >= m_settings.maxPendingTotal)
        return Verdict::ServerFull;
    auto it = m_entries.find(address);
    if (it == m_entries.end()) {
        if (m_entries.size() >= kMaxAddresses && now - m_lastFullPrune >= kFullPruneMs) {
            m_lastFullPrune = now;
            Prune(now);
        }
        if (m_entries.size() >= kMaxAddresses)
            return Verdict::ServerFull;
        it = m_entries.insert(address, Entry{0, double(m_settings.connectsPerMinute), now});
    }
    Entry& entry = it.value();
    if (entry.pending >= m_settings.maxPendingPerAddress)
        return Verdict::TooManyPending;
    Refill(entry, now);
    if (entry.allowance < 1.0)
        return Verdict::TooFast;
    entry.allowance -= 1.0;
    ++entry.pending;
    ++m_pendingTotal;
    return Verdict::Admit;
}

void CConnectionLimits::Left(const QByteArray& address) {
    const auto it = m_entries.find(address);
    if (it == m_entries.end() || it->pending == 0)
        return;
    --it->pending;
    --m_pendingTotal;
}

void CConnectionLimits::Prune(qint64 now) {
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Refill(it.value(), now);
        if (it->pending == 0 && it->allowance >= m_settings.connectsPerMinute)
            it = m_entries.erase(it);
        else
            ++it;
    }
}

int CConnectionLimits::PendingFrom(const QByteArray& address) const {
    const auto it = m_entries.constFind(address);
    return it == m_entries.cend() ? 0 : it->pending;
}
