#include "CLoginThrottle.h"

#include "AddressKey.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr qint64 kFullPruneMs = 1000;
// Parallel attempts of one login from an address that logged in as it before; past them
// the budget applies as for anyone.
constexpr int kMaxTrustedUndecided = 8;

qint64 Pause(int failures, qint64 first, qint64 max) {
    qint64 pause = first;
    for (int i = 1; i < failures && pause < max; ++i)
        pause *= 2;
    return std::min(pause, max);
}
} // namespace

QByteArray CLoginThrottle::PairKey(const QByteArray& address, const QByteArray& login) {
    // Address keys have a fixed length per family, so the two parts cannot run together.
    return address + '\0' + login;
}

QByteArray CLoginThrottle::NetworkKey(const QByteArray& address, const QByteArray& login) {
    // The prefix's length first: a /24 and a /48 cannot run into the login.
    const QByteArray prefix = PrefixKey(address);
    return char(prefix.size()) + prefix + login;
}

// A full table counts the networks it lacks as failed: they compete as they did before.
bool CLoginThrottle::FailedLatelyFrom(const QByteArray& networkKey, qint64 now) const {
    const auto it = m_failedFrom.constFind(networkKey);
    if (it == m_failedFrom.cend())
        return m_failedFrom.size() >= kMaxEntries;
    return now - *it < m_settings.forgetFailuresMs;
}

void CLoginThrottle::Refill(Budget& budget, qint64 now) const {
    const double elapsed = static_cast<double>(std::max<qint64>(now - budget.refilledAt, 0));
    budget.checks = std::min(m_settings.loginBurst,
                             budget.checks + elapsed * m_settings.loginChecksPerSecond / 1000.0);
    budget.refilledAt = now;
}

bool CLoginThrottle::MakeRoom(qsizetype size, qint64 now) {
    if (size < kMaxEntries)
        return true;
    if (now - m_lastFullPrune >= kFullPruneMs) {
        m_lastFullPrune = now;
        Prune(now);
    }
    return false;
}

CLoginThrottle::Budget* CLoginThrottle::BudgetOf(const QByteArray& login, qint64 now) {
    auto it = m_logins.find(login);
    if (it == m_logins.end()) {
        if (!MakeRoom(m_logins.size(), now) && m_logins.size() >= kMaxEntries)
            return nullptr;
        it = m_logins.insert(login, Budget{m_settings.loginBurst, now, false});
    }
    Refill(*it, now);
    if (it->checks >= m_settings.loginBurst)
        it->slowed = false;
    return &*it;
}

CLoginThrottle::Turn CLoginThrottle::Reserve(const QByteArray& address, const QByteArray& login,
                                             qint64 now) {
    Turn turn;
    turn.at = now;
    const QByteArray key = PairKey(address, login);
    auto pair = m_pairs.find(key);
    if (pair == m_pairs.end()) {
        if (!MakeRoom(m_pairs.size(), now) && m_pairs.size() >= kMaxEntries)
            pair = m_pairs.end(); // the login's budget still bounds this attempt
        else
            pair = m_pairs.insert(key, Pair{});
    }
    const bool known = pair != m_pairs.end();
    if (known && pair->failures > 0) {
        // One attempt at a time once failing, and none early in a pause.
        if (pair->undecided > 0 || pair->pausedUntil - now > m_settings.maxHoldMs) {
            turn.decision = Decision::Paused;
            return turn;
        }
        turn.at = std::max(now, pair->pausedUntil);
        turn.afterFailures = turn.at > now;
    }
    const bool trusted = known && pair->lastSuccess >= 0 && pair->failures == 0 &&
                         pair->undecided < kMaxTrustedUndecided;
    if (!trusted) {
        if (Budget* budget = BudgetOf(login, now)) {
            const double floor =
                FailedLatelyFrom(NetworkKey(address, login), now) ? m_settings.cleanReserve : 0;
            budget->checks -= 1;
            const double perMs = m_settings.loginChecksPerSecond / 1000.0;
            if (budget->checks < floor) {
                if (!budget->slowed) {
                    budget->slowed = true;
                    turn.loginSlowed = true;
                }
                const auto wait = static_cast<qint64>(std::ceil((floor - budget->checks) / perMs));
                turn.at = std::max(turn.at, now + wait);
            }
            if (turn.at - now > m_settings.maxHoldMs) {
                budget->checks += 1;
                turn.decision = Decision::Busy;
                return turn;
            }
            turn.spent = true;
        }
    }
    // Found again: making room for the login's budget may have pruned the pairs.
    pair = m_pairs.find(key);
    if (pair != m_pairs.end())
        ++pair->undecided;
    turn.decision = turn.at > now ? Decision::Hold : Decision::Now;
    return turn;
}

qint64 CLoginThrottle::Decided(const QByteArray& address, const QByteArray& login, const Turn& turn,
                               bool accepted, qint64 now) {
    if (!accepted) {
        // Before the pair is looked up: making room may prune the pairs.
        const QByteArray network = NetworkKey(address, login);
        if (m_failedFrom.contains(network) || MakeRoom(m_failedFrom.size(), now) ||
            m_failedFrom.size() < kMaxEntries)
            m_failedFrom.insert(network, now);
    }
    const auto pair = m_pairs.find(PairKey(address, login));
    if (pair != m_pairs.end() && pair->undecided > 0)
        --pair->undecided;
    if (accepted) {
        // A success is no guess: its check goes back to the login.
        if (turn.spent)
            GiveBack(login);
        if (pair != m_pairs.end()) {
            pair->failures = 0;
            pair->pausedUntil = 0;
            pair->lastSuccess = now;
        }
        return 0;
    }
    if (pair == m_pairs.end())
        return 0;
    ++pair->failures;
    pair->lastFailure = now;
    pair->lastSuccess = -1;
    const qint64 pause = Pause(pair->failures, m_settings.firstPauseMs, m_settings.maxPauseMs);
    pair->pausedUntil = now + pause;
    return pause > m_settings.maxHoldMs ? pause : 0;
}

void CLoginThrottle::Abandoned(const QByteArray& address, const QByteArray& login,
                               const Turn& turn) {
    const auto pair = m_pairs.find(PairKey(address, login));
    if (pair != m_pairs.end() && pair->undecided > 0)
        --pair->undecided;
    if (turn.spent)
        GiveBack(login);
}

void CLoginThrottle::GiveBack(const QByteArray& login) {
    const auto budget = m_logins.find(login);
    if (budget != m_logins.end())
        budget->checks = std::min(m_settings.loginBurst, budget->checks + 1);
}

void CLoginThrottle::Prune(qint64 now) {
    for (auto it = m_pairs.begin(); it != m_pairs.end();) {
        if (it->failures > 0 && now - it->lastFailure >= m_settings.forgetFailuresMs &&
            now >= it->pausedUntil) {
            it->failures = 0;
            it->pausedUntil = 0;
        }
        if (it->lastSuccess >= 0 && now - it->lastSuccess >= m_settings.rememberSuccessMs)
            it->lastSuccess = -1;
        if (it->undecided == 0 && it->failures == 0 && it->lastSuccess < 0)
            it = m_pairs.erase(it);
        else
            ++it;
    }
    for (auto it = m_failedFrom.begin(); it != m_failedFrom.end();) {
        if (now - *it >= m_settings.forgetFailuresMs)
            it = m_failedFrom.erase(it);
        else
            ++it;
    }
    for (auto it = m_logins.begin(); it != m_logins.end();) {
        Refill(*it, now);
        if (it->checks >= m_settings.loginBurst)
            it = m_logins.erase(it);
        else
            ++it;
    }
}

int CLoginThrottle::Failures(const QByteArray& address, const QByteArray& login) const {
    const auto it = m_pairs.constFind(PairKey(address, login));
    return it == m_pairs.cend() ? 0 : it->failures;
}
