#include "AddressKey.h"

QHostAddress PlainAddress(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}

QByteArray AddressKey(const QHostAddress& address) {
    const QHostAddress plain = PlainAddress(address);
    if (plain.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v4 = plain.toIPv4Address();
        const char bytes[4] = {static_cast<char>(v4 >> 24), static_cast<char>(v4 >> 16),
                               static_cast<char>(v4 >> 8), static_cast<char>(v4)};
        return QByteArray(bytes, 4);
    }
    const Q_IPV6ADDR v6 = plain.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(v6.c), 8);
}

QByteArray PrefixKey(const QByteArray& key) {
    return key.left(key.size() == 4 ? 3 : 6);
}

QString AddressKeyText(const QByteArray& key) {
    if (key.size() == 4) {
        const auto* b = reinterpret_cast<const unsigned char*>(key.constData());
        return QHostAddress(quint32(b[0]) << 24 | quint32(b[1]) << 16 | quint32(b[2]) << 8 | b[3])
            .toString();
    }
    Q_IPV6ADDR v6 = {};
    for (qsizetype i = 0; i < key.size() && i < 16; ++i)
        v6.c[i] = static_cast<quint8>(key[i]);
    return QHostAddress(v6).toString() + QStringLiteral("/64");
}
