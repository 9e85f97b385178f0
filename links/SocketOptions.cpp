#include "SocketOptions.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

bool SetKeepAliveValues(qintptr socketDescriptor, int idleSeconds, int intervalSeconds) {
    if (socketDescriptor < 0 || idleSeconds <= 0 || intervalSeconds <= 0)
        return false;
    const int fd = static_cast<int>(socketDescriptor);
    const int on = 1;
    bool ok = setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
#if defined(TCP_KEEPIDLE)
    ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 && ok;
#elif defined(TCP_KEEPALIVE)
    ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &idleSeconds, sizeof idleSeconds) == 0 && ok;
#endif
#if defined(TCP_KEEPINTVL)
    ok =
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) == 0 &&
        ok;
#endif
    return ok;
}

bool SetUnacknowledgedTimeout(qintptr socketDescriptor, int seconds) {
    if (socketDescriptor < 0 || seconds <= 0)
        return false;
#if defined(TCP_USER_TIMEOUT)
    const unsigned int milliseconds = static_cast<unsigned int>(seconds) * 1000U;
    return setsockopt(static_cast<int>(socketDescriptor), IPPROTO_TCP, TCP_USER_TIMEOUT,
                      &milliseconds, sizeof milliseconds) == 0;
#else
    return false;
#endif
}

bool SetUnsentLowWater(qintptr socketDescriptor, int bytes) {
    if (socketDescriptor < 0 || bytes <= 0)
        return false;
#if defined(TCP_NOTSENT_LOWAT)
    return setsockopt(static_cast<int>(socketDescriptor), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes,
                      sizeof bytes) == 0;
#else
    return false;
#endif
}
