#pragma once

#include <cstdint>

// The values a fresh installation starts with, in one place.
inline constexpr std::int32_t kDefaultTunnelPort = 10368;
inline constexpr std::int32_t kDefaultLanPort = 9871;
// Everything stays on this computer: Linux hands it to every socket bound to the port.
inline constexpr const char* kDefaultBroadcastAddress = "127.255.255.255";
