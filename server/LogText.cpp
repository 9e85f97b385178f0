#include "LogText.h"

#include "VisibleText.h"

#include <cstdlib>

QString QuotedText(std::string_view bytes, int maxBytes) {
    return VisibleText(bytes, maxBytes).replace(QLatin1Char('"'), QLatin1String("\\x22"));
}

QString QuotedText(const QByteArray& bytes, int maxBytes) {
    return QuotedText(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                      maxBytes);
}

QString LogTimestamp(const QDateTime& moment) {
    const int offset = moment.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return moment.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}
