#include "Decimal.h"

#include <limits>

std::int64_t DecimalToInt64(const char* text) {
    if (text == nullptr)
        return 0;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // Accumulate as a negative number so that the most negative value is reachable.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (saturated)
            continue;
        if (value < (lowest + digit) / 10) {
            saturated = true;
            value = lowest;
            continue;
        }
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    if (value == lowest)
        return std::numeric_limits<std::int64_t>::max();
    return -value;
}

std::int32_t DecimalToInt32(const char* text) {
    const std::int64_t value = DecimalToInt64(text);
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}
