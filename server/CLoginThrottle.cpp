#include "CLoginThrottle.h"

#include <algorithm>

namespace {
// Entries per table at most; a full table is pruned at most once a second, and new keys are
// not added while it stays full.
constexpr qsizetype kMaxEntries = 65536;
constexpr qint64 kFullPruneMs = 1000;

qint64 Delay(int failures, qint64 first, qint64 max) {
    qint64 delay = first;
    for (int i = 1; i < failures && delay < max; ++i)
        delay *= 2;
    return std::min(delay, max);
}
} // namespace

qint64 CLoginThrottle::Reserve(const QByteArray& address, const QByteArray& login, qint64 now) {
    auto a = m_addresses.find(address);
    if (a == m_addresses.end()) {
        PruneWhenFull(m_addresses, now);
        if (m_addresses.size() >= kMaxEntries)
            return now;
        a = m_addresses.insert(address, Entry{});
    }
    if (a->failures == 0) {
        if (a->undecided >= kMaxUndecided)
            return kAskAgain;
        ++a->undecided;
        return now;
    }
    ++a->undecided;
    qint64 turn = std::max(now, a->nextTurn);
    const auto l = m_logins.find(login);
    if (l != m_logins.end() && l->failures > 0) {
        turn = std::max(turn, l->nextTurn);
        l->nextTurn =
            turn + Delay(l->failures, m_settings.loginFirstDelayMs, m_settings.loginMaxDelayMs);
    }
    a->nextTurn = turn + Delay(a->failures, m_settings.firstDelayMs, m_settings.maxDelayMs);
    return turn;
}

void CLoginThrottle::Record(QHash<QByteArray, Entry>& table, const QByteArray& key, qint64 delay0,
                            qint64 delayMax, qint64 now) {
    auto it = table.find(key);
    if (it == table.end()) {
        PruneWhenFull(table, now);
        if (table.size() >= kMaxEntries)
            return;
        it = table.insert(key, Entry{});
    }
    ++it->failures;
    it->lastFailure = now;
    it->nextTurn = std::max(it->nextTurn, now + Delay(it->failures, delay0, delayMax));
}

void CLoginThrottle::Decided(const QByteArray& address, const QByteArray& login, bool accepted,
                             qint64 now) {
    Abandoned(address);
    if (accepted)
        return;
    Record(m_addresses, address, m_settings.firstDelayMs, m_settings.maxDelayMs, now);
    Record(m_logins, login, m_settings.loginFirstDelayMs, m_settings.loginMaxDelayMs, now);
}

void CLoginThrottle::Abandoned(const QByteArray& address) {
    const auto it = m_addresses.find(address);
    if (it == m_addresses.end())
        return;
    if (it->undecided > 0)
        --it->undecided;
    // An address that never failed needs no memory once its attempts are decided.
    if (it->undecided == 0 && it->failures == 0)
        m_addresses.erase(it);
}

void CLoginThrottle::PruneWhenFull(const QHash<QByteArray, Entry>& table, qint64 now) {
    if (table.size() >= kMaxEntries && now - m_lastFullPrune >= kFullPruneMs) {
        m_lastFullPrune = now;
        Prune(now);
    }
}

void CLoginThrottle::Prune(qint64 now) {
    for (auto* table : {&m_addresses, &m_logins}) {
        for (auto it = table->begin(); it != table->end();) {
            if (it->undecided == 0 && now - it->lastFailure >= m_settings.forgetAfterMs &&
                it->nextTurn <= now)
                it = table->erase(it);
            else
                ++it;
        }
    }
}

int CLoginThrottle::FailuresFrom(const QByteArray& address) const {
    const auto it = m_addresses.constFind(address);
    return it == m_addresses.cend() ? 0 : it->failures;
}
