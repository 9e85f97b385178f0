#include "PortNumber.h"

std::optional<quint16> ParsePortNumber(const QString& text, bool allowZero) {
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const int value = text.toInt();
    if (value > 65535 || (value == 0 && !allowZero))
        return std::nullopt;
    return static_cast<quint16>(value);
}
