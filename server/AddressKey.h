#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// What the per-address limits count by: an IPv4 address, or the /64 prefix of an IPv6 one
// (one host on the Internet usually holds a whole /64). IPv4-mapped IPv6 counts as IPv4.
QByteArray AddressKey(const QHostAddress& address);
QString AddressKeyText(const QByteArray& key);
// The network an address key lies in, as one operator's customers share it: the /24 of an
// IPv4 address, the /48 of an IPv6 one.
QByteArray PrefixKey(const QByteArray& key);
// The address as a log shows it, IPv4-mapped IPv6 as plain IPv4.
QHostAddress PlainAddress(const QHostAddress& address);
