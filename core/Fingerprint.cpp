#include "Fingerprint.h"

#include <QCryptographicHash>

namespace {
constexpr qsizetype kSha256Bytes = 32;

int HexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}
} // namespace

QString FormatFingerprint(const QByteArray& digest) {
    return QString::fromLatin1(digest.toHex(':').toUpper());
}

QString CertificateFingerprint(const QByteArray& der) {
    return FormatFingerprint(QCryptographicHash::hash(der, QCryptographicHash::Sha256));
}

QByteArray ParseFingerprint(QStringView text) {
    QByteArray digest;
    digest.reserve(kSha256Bytes);
    int high = -1;
    for (const QChar c : text) {
        if (c == u':' || c.isSpace())
            continue;
        const int value = HexValue(c);
        if (value < 0 || digest.size() == kSha256Bytes)
            return {};
        if (high < 0) {
            high = value;
        } else {
            digest.append(static_cast<char>(high << 4 | value));
            high = -1;
        }
    }
    return digest.size() == kSha256Bytes && high < 0 ? digest : QByteArray();
}

bool FingerprintMatches(QStringView text, const QByteArray& der) {
    const QByteArray pinned = ParseFingerprint(text);
    return !pinned.isEmpty() && pinned == QCryptographicHash::hash(der, QCryptographicHash::Sha256);
}
