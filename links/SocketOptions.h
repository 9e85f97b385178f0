#pragma once

#include <QtGlobal>

// Socket options shared by both ends of the tunnel.

// A dead peer is noticed within a minute or so even when nothing is sent.
inline constexpr int kKeepAliveIdleSeconds = 20;
inline constexpr int kKeepAliveIntervalSeconds = 3;

// SO_KEEPALIVE with the given idle time and probe interval on a native socket.
bool SetKeepAliveValues(qintptr socketDescriptor, int idleSeconds = kKeepAliveIdleSeconds,
                        int intervalSeconds = kKeepAliveIntervalSeconds);

// Data left unacknowledged this long ends the connection. Our own heartbeat counts as WAN
// activity, so without this a dead path with heartbeats on would never be timed out; matches
// the WAN time-out.
inline constexpr int kUnacknowledgedTimeoutSeconds = 60;

// TCP_USER_TIMEOUT on a native socket; false where the system has none.
bool SetUnacknowledgedTimeout(qintptr socketDescriptor,
                              int seconds = kUnacknowledgedTimeoutSeconds);

// TCP_NOTSENT_LOWAT: the kernel takes more only while less than this waits unsent, so what a
// slow path holds back stays in the process, where it is counted and bounded. False where the
// system has none.
bool SetUnsentLowWater(qintptr socketDescriptor, int bytes);
