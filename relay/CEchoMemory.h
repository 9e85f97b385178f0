#pragma once

#include "Clock.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

// The texts this tunnel broadcast on the LAN for the WAN, so that their echo from the LAN is
// not sent back into the tunnel even when the sender is a tunnel name, which the WAN station
// table never holds. Each entry serves one echo; entries expire and the set is bounded.
class CEchoMemory {
public:
    explicit CEchoMemory(MonotonicClock clock);

    // mayExpire false keeps old entries: while LAN messages wait to be handled, their echoes
    // are late through no fault of their own.
    void Remember(const std::string& text, bool mayExpire = true);
    // True, and the entry used up, when text is the echo of a remembered broadcast.
    bool Consume(const std::string& text, bool mayExpire = true);
    std::size_t Size() const { return m_order.size(); }

    static constexpr std::size_t kMaxEntries = 8192;
    static constexpr std::int64_t kLifetimeSeconds = 30;

private:
    void Expire();
    void Forget(const std::string& text);

    struct Entry {
        std::string text;
        std::int64_t expires; // monotonic nanoseconds
    };
    MonotonicClock m_clock;
    std::deque<Entry> m_order;                            // oldest first
    std::unordered_map<std::string, std::size_t> m_count; // live entries per text
};
