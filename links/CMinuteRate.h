#pragma once

#include <array>
#include <cstdint>
#include <limits>

// Events counted per second over the last minute: a ring of 60 per-second counts, each stamped
// with its second, so nothing needs a timer to age them. Seconds come from a monotonic clock.
class CMinuteRate {
public:
    void Add(std::int64_t second, std::uint64_t n = 1) {
        Slot& slot = m_slots[Index(second)];
        if (slot.second != second)
            slot = {second, 0};
        slot.count += n;
    }
    // Events in the 60 seconds up to and including this one.
    std::uint64_t LastMinute(std::int64_t second) const {
        std::uint64_t sum = 0;
        for (const Slot& slot : m_slots) {
            if (slot.second <= second && slot.second > second - kSeconds)
                sum += slot.count;
        }
        return sum;
    }

    static constexpr std::int64_t kSeconds = 60;

private:
    struct Slot {
        std::int64_t second = std::numeric_limits<std::int64_t>::min();
        std::uint64_t count = 0;
    };
    static std::size_t Index(std::int64_t second) {
        return static_cast<std::size_t>(((second % kSeconds) + kSeconds) % kSeconds);
    }
    std::array<Slot, kSeconds> m_slots{};
};
