#include "CEchoMemory.h"

#include <algorithm>

CEchoMemory::CEchoMemory(MonotonicClock clock) : m_clock(std::move(clock)) {}

void CEchoMemory::Remember(const std::string& text, bool mayExpire) {
    if (mayExpire)
        Expire();
    if (m_order.size() >= kMaxEntries) {
        Forget(m_order.front().text);
        m_order.pop_front();
    }
    m_order.push_back({text, m_clock() + kLifetimeSeconds * kNanosecondsPerSecond});
    ++m_count[text];
}

bool CEchoMemory::Consume(const std::string& text, bool mayExpire) {
    if (mayExpire)
        Expire();
    const auto it = m_count.find(text);
    if (it == m_count.end())
        return false;
    // Echoes come back in the order of the broadcasts: use up the oldest copy.
    const auto entry = std::find_if(m_order.begin(), m_order.end(),
                                    [&](const Entry& e) { return e.text == text; });
    if (entry != m_order.end())
        m_order.erase(entry);
    Forget(text);
    return true;
}

void CEchoMemory::Expire() {
    const std::int64_t now = m_clock();
    while (!m_order.empty() && m_order.front().expires <= now) {
        Forget(m_order.front().text);
        m_order.pop_front();
    }
}

void CEchoMemory::Forget(const std::string& text) {
    const auto it = m_count.find(text);
    if (it != m_count.end() && --it->second == 0)
        m_count.erase(it);
}
