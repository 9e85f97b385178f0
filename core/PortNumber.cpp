#include "PortNumber.h"

#include <algorithm>

namespace {
constexpr qsizetype kExactDigits = 5;
constexpr std::int64_t kPortMax = 65535;
} // namespace

PortText ReadPortText(const QString& text, std::int32_t& port, PortSyntax syntax, bool allowZero) {
    const bool field = syntax == PortSyntax::Field;
    const QStringView digits = field ? QStringView(text).trimmed() : QStringView(text);
    std::int64_t value = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return PortText::NotANumber;
        // Past the range the exact value no longer matters; it must only stay past it.
        value = std::min<std::int64_t>(value * 10 + (c.unicode() - '0'), kPortMax + 1);
    }
    if (digits.isEmpty() || (!field && digits.size() > kExactDigits))
        return PortText::NotANumber;
    if (value > kPortMax || (value == 0 && !allowZero))
        return PortText::OutOfRange;
    port = static_cast<std::int32_t>(value);
    return PortText::Valid;
}

std::optional<quint16> ParsePortNumber(const QString& text, bool allowZero) {
    std::int32_t port = 0;
    if (ReadPortText(text, port, PortSyntax::Exact, allowZero) != PortText::Valid)
        return std::nullopt;
    return static_cast<quint16>(port);
}
