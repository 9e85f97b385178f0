#pragma once

#include <QtGlobal>

// Socket options shared by both ends of the tunnel.

// A dead peer is noticed within a minute or so even when nothing is sent.
inline constexpr int kKeepAliveIdleSeconds = 20;
inline constexpr int kKeepAliveIntervalSeconds = 3;

// SO_KEEPALIVE with the given idle time and probe interval on a native socket.
bool SetKeepAliveValues(qintptr socketDescriptor, int idleSeconds = kKeepAliveIdleSeconds,
                        int intervalSeconds = kKeepAliveIntervalSeconds);
