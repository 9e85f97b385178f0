#pragma once

#include <QHostAddress>
#include <QList>

#include <functional>
#include <string>

// The addresses of a host name, asked of the system's resolver every time: Qt's own lookup
// keeps answers for a minute, so a server whose name moved would be missed for that long.
// Blocks; called off the event thread only.
QList<QHostAddress> LookUpHost(const std::string& host);

// How CTcpClient resolves names (tests give their own).
using HostResolver = std::function<QList<QHostAddress>(const std::string& host)>;

// A host as people write it: "[::1]" (IPv6 in brackets, as beside a port) is "::1".
std::string HostWithoutBrackets(const std::string& host);
