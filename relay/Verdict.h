#pragma once

#include "LanRules.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct Settings;

// A text split into fields by the LAN library; fields[0] is the keyword, fields[1] the sender.
struct ParsedText {
    const char* const* fields = nullptr;
    int count = 0;
};

// What becomes of a LAN message, in the order the tests are met: the first that applies ends
// it. Rule carries the LanDrop; AnsweredHere is an inventory request addressed to this tunnel.
enum class LanFate {
    Relay,
    TunnelDown,
    TooLong,
    Malformed,
    Rule,
    AnsweredHere,
    Time,
    FromFarStation,
    Echo
};

// Where the LAN message meets the hub.
struct LanSituation {
    const Settings& settings;
    bool tunnelOpen = false; // a tunnel client exists
    bool loggedIn = false;
    bool tooLong = false;        // 256 bytes or more: not parsed
    std::string_view tunnelName; // "~" and the station it is named after
    std::function<bool(const std::string&)> isWanStation;
    // Asked at most once, for a well-formed message met while logged in; it uses the echo up
    // even when a rule then drops the message.
    std::function<bool()> isEcho;
};

// An answer to an inventory request, on its way back to the requester.
struct InventoryReply {
    std::string text; // not yet encoded as a tunnel line
    bool toTunnel = false;
};

struct LanVerdict {
    LanFate fate = LanFate::Relay;
    LanDrop rule = LanDrop::None;  // for LanFate::Rule
    std::string nameTunnelAfter;   // an IHAVEWAN from a local station names the tunnel
    bool inventoryRequest = false; // an inventory request was met
    std::optional<InventoryReply> reply;
    bool helloRewritten = false;
    bool timeMessage = false; // worth nothing once late: it may wait only so long to cross
    std::string outgoing;     // the text as it would cross, rewrites applied
};

// Pure: all it knows comes in through its arguments.
LanVerdict JudgeLanMessage(std::string_view text, const ParsedText& parsed,
                           const LanSituation& situation);

// What becomes of a line from the tunnel once it is framed.
enum class TunnelFate { Relay, BadChecksum, Malformed, Heartbeat, Time };
TunnelFate JudgeTunnelLine(bool checksumRight, const ParsedText& parsed, const Settings& settings);
// The reason in "From WAN (DROPPED - %s) : %s"; nullptr where no such line is written.
const char* TunnelFateText(TunnelFate fate);
