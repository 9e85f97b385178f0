#include "HostLookup.h"

#include <netdb.h>
#include <sys/socket.h>

QList<QHostAddress> LookUpHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM; // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    QList<QHostAddress> addresses;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        const QHostAddress address(entry->ai_addr);
        if (!address.isNull() && !addresses.contains(address))
            addresses << address;
    }
    freeaddrinfo(found);
    return addresses;
}

std::string HostWithoutBrackets(const std::string& host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}
