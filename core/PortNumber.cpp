#include "PortNumber.h"

#include <algorithm>

namespace {
constexpr qsizetype kFieldCharsRead = 63;
constexpr qsizetype kExactDigits = 5;
constexpr std::int64_t kPortMax = 65535;
} // namespace

PortText ReadPortText(const QString& text, std::int32_t& port, PortSyntax syntax, bool allowZero) {
    const bool field = syntax == PortSyntax::Field;
    const QStringView head = field ? QStringView(text).left(kFieldCharsRead) : QStringView(text);
    qsizetype i = 0;
    while (field && i < head.size() &&
           (head[i] == QLatin1Char(' ') || head[i] == QLatin1Char('\t'))) {
        ++i;
    }
    const qsizetype firstDigit = i;
    std::int64_t value = 0;
    for (; i < head.size() && head[i] >= QLatin1Char('0') && head[i] <= QLatin1Char('9'); ++i) {
        // Past the range the exact value no longer matters; it must only stay past it.
        value = std::min<std::int64_t>(value * 10 + (head[i].unicode() - '0'), kPortMax + 1);
    }
    if (i == firstDigit || (!field && (i != head.size() || i - firstDigit > kExactDigits))) {
        return PortText::NotANumber;
    }
    if (value > kPortMax || (value == 0 && !allowZero)) {
        return PortText::OutOfRange;
    }
    port = static_cast<std::int32_t>(value);
    return PortText::Valid;
}

std::optional<quint16> ParsePortNumber(const QString& text, bool allowZero) {
    std::int32_t port = 0;
    if (ReadPortText(text, port, PortSyntax::Exact, allowZero) != PortText::Valid)
        return std::nullopt;
    return static_cast<quint16>(port);
}
