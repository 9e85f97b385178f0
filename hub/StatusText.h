#pragma once

#include "DisconnectCause.h"
#include "TunnelState.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Why a message did not cross, one counter each.
enum class DropReason {
    Packet,
    Rotator,
    NeedQso,
    NeedQsoWan,
    IHave,
    IHaveLan,
    AddQso,
    Time,
    FromFarStation,
    Echo,
    TooLong,
    BadChecksum,
    Malformed,
    TunnelDown,
    LanBacklog,
    QueueFull,
    StaleTime,
    WriteBound,
    LostAtDisconnect,
    LanSendFailed,
    Count
};

// Messages of one direction since start. Plain numbers: only the hub's thread writes them.
struct DirectionCounts {
    std::uint64_t relayed = 0;
    std::array<std::uint64_t, static_cast<std::size_t>(DropReason::Count)> dropped{};

    std::uint64_t& operator[](DropReason reason) {
        return dropped[static_cast<std::size_t>(reason)];
    }
    std::uint64_t operator[](DropReason reason) const {
        return dropped[static_cast<std::size_t>(reason)];
    }
};

// A snapshot of the hub for the status window and the status signal. Times are calendar
// seconds; 0 means "never".
struct HubStatus {
    using Tunnel = TunnelState;
    struct FarStation {
        std::string name;
        std::int64_t firstHeard = 0;
        std::int64_t lastHeard = 0;
    };

    std::int64_t now = 0;
    Tunnel tunnel = Tunnel::Disconnected;
    std::int64_t tunnelSince = 0;
    // Since when the tunnel has not been logged in, and the connections tried since then.
    std::int64_t downSince = 0;
    std::uint64_t attemptsSinceDown = 0;
    std::string host;
    int port = 0;
    std::string login;
    bool tls = false;       // the setting
    bool pinned = false;    // a certificate fingerprint is set
    bool encrypted = false; // the connection's TLS handshake is done
    std::string tunnelName;
    std::int64_t lastDisconnect = 0;
    DisconnectCause lastCause = DisconnectCause::None;
    std::string causeDetail;
    std::int64_t nextReconnect = 0;

    std::string broadcastAddress;
    int lanPort = 0;
    bool lanOpen = false;
    bool broadcastValid = true; // an IPv4 address the LAN side can send to

    DirectionCounts toWan;
    DirectionCounts toLan;
    std::uint64_t helloRewritten = 0;
    std::uint64_t inventoryAnswered = 0;
    std::uint64_t heartbeatsReceived = 0; // from the server: they keep the tunnel up
    std::uint64_t toWanLastMinute = 0;
    std::uint64_t toLanLastMinute = 0;

    std::vector<FarStation> farStations; // by name
    std::int64_t stationLifetime = 300;
};

// Why the tunnel went down, as the status and the debug log say it.
std::string DisconnectCauseText(DisconnectCause cause, const std::string& detail);

// The whole status as plain text, lines ending in '\n'; network text is kept as its bytes.
std::string StatusText(const HubStatus& status);
