#include "VisibleText.h"

QString VisibleText(std::string_view bytes, int maxBytes) {
    static const char kHex[] = "0123456789ABCDEF";
    QString out;
    const std::size_t shown = std::min(bytes.size(), static_cast<std::size_t>(maxBytes));
    out.reserve(static_cast<qsizetype>(shown));
    for (std::size_t i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\\') {
            out += QLatin1String("\\\\");
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += QChar(byte);
        } else {
            out += QLatin1String("\\x");
            out += QChar(kHex[byte >> 4]);
            out += QChar(kHex[byte & 0x0F]);
        }
    }
    if (shown < bytes.size())
        out += QLatin1String("...");
    return out;
}

QString VisibleText(const QByteArray& bytes, int maxBytes) {
    return VisibleText(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                       maxBytes);
}
