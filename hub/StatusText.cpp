#include "StatusText.h"

#include "StoredText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {
struct ReasonRow {
    DropReason reason;
    const char* label;
    bool toWan;
    bool toLan;
};
// In the debug log's order of checks; a direction a reason never applies to shows "-".
// clang-format off
constexpr ReasonRow kReasons[] = {
    {DropReason::Packet, "PACKET", true, false},
    {DropReason::Rotator, "ROTATOR", true, false},
    {DropReason::NeedQso, "NEEDQSO", true, false},
    {DropReason::NeedQsoWan, "NEEDQSOWAN to a local station", true, false},
    {DropReason::IHave, "IHAVE", true, false},
    {DropReason::IHaveLan, "IHAVELAN", true, false},
    {DropReason::AddQso, "ADDQSO to a local station", true, false},
    {DropReason::Time, "TIME", true, true},
    {DropReason::FromFarStation, "from a far station", true, false},
    {DropReason::Echo, "echo of a relayed message", true, false},
    {DropReason::TooLong, "too long", true, true},
    {DropReason::BadChecksum, "bad checksum", true, true},
    {DropReason::Malformed, "too few fields", true, true},
    {DropReason::TunnelDown, "tunnel not logged in", true, false},
    {DropReason::LanBacklog, "LAN backlog full", true, false},
    {DropReason::QueueFull, "tunnel queue full", true, false},
    {DropReason::StaleTime, "TIME waited over 2 s in the queue", true, false},
    {DropReason::WriteBound, "write bound (server not reading)", true, false},
    {DropReason::LostAtDisconnect, "waiting at disconnection", true, false},
    {DropReason::LanSendFailed, "broadcast on the LAN failed", false, true},
};
// clang-format on
constexpr std::size_t kLabelWidth = 38;
constexpr std::size_t kNumberWidth = 15;

// Network text (8-bit, shown as Latin-1) as UTF-8, control bytes replaced so that a name
// cannot break a line or a terminal.
std::string Shown(const std::string& latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (const char c : latin1) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += '?';
        } else if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

// Stored text (the ini file) as the options dialog shows it, control bytes replaced as above.
std::string ShownStored(const std::string& stored) {
    std::string out = StoredTextUtf8(stored);
    std::replace_if(
        out.begin(), out.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
    return out;
}

std::string Stamp(std::int64_t seconds) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm local{};
    const bool ok = localtime_r(&t, &local) != nullptr;
    char text[32];
    if (!ok || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return "?";
    return text;
}

std::string Span(std::int64_t seconds) {
    if (seconds < 0)
        seconds = 0;
    char text[48];
    if (seconds >= 86400)
        std::snprintf(text, sizeof text, "%lld d %02lld h", static_cast<long long>(seconds / 86400),
                      static_cast<long long>(seconds % 86400 / 3600));
    else if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld h %02lld min",
                      static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds % 3600 / 60));
    else if (seconds >= 60)
        std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(seconds));
    return text;
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

std::string Field(const char* label, const std::string& value) {
    return "  " + Padded(label, 17) + value + "\n";
}

const char* TunnelText(HubStatus::Tunnel tunnel) {
    switch (tunnel) {
    case HubStatus::Tunnel::Connecting:
        return "connecting";
    case HubStatus::Tunnel::AwaitLogin:
        return "waiting for the login prompt";
    case HubStatus::Tunnel::AwaitPassword:
        return "waiting for the password prompt";
    case HubStatus::Tunnel::LoggedIn:
        return "logged in";
    case HubStatus::Tunnel::Disconnected:
        break;
    }
    return "not connected";
}

std::string CountRow(const std::string& label, bool wan, std::uint64_t toWan, bool lan,
                     std::uint64_t toLan) {
    const auto number = [](bool applies, std::uint64_t n) {
        const std::string text = applies ? std::to_string(n) : "-";
        return std::string(kNumberWidth - std::min<std::size_t>(text.size(), kNumberWidth), ' ') +
               text;
    };
    return Padded(label, kLabelWidth) + number(wan, toWan) + number(lan, toLan) + "\n";
}

bool IsDown(const HubStatus& s) {
    return s.downSince != 0 && (s.tunnel == HubStatus::Tunnel::Disconnected ||
                                s.tunnel == HubStatus::Tunnel::Connecting);
}

// While the tunnel is down the state says since when, across the attempts: each attempt
// starts a state of its own, which would restart the time at every try.
std::string StateText(const HubStatus& s) {
    const bool down = IsDown(s);
    std::string state = TunnelText(s.tunnel);
    if (down && s.tunnel == HubStatus::Tunnel::Connecting)
        state += ", down";
    const std::int64_t since = down ? s.downSince : s.tunnelSince;
    if (since != 0)
        state += " since " + Stamp(since) + " (" + Span(s.now - since) + ")";
    return state;
}

std::string TunnelNameText(const std::string& name) {
    if (name == "~")
        return "not named yet (a local station's IHAVEWAN names it)";
    return Shown(name) + " (the name the tunnel carries to the other sites)";
}

std::string EncryptionText(const HubStatus& s) {
    if (!s.tls)
        return "none, the tunnel is in clear";
    std::string text = s.pinned ? "TLS, certificate pinned (\"Certificate SHA-256\")"
                                : "TLS, certificate checked against the trusted authorities";
    if (s.tunnel != HubStatus::Tunnel::Disconnected && s.tunnel != HubStatus::Tunnel::Connecting)
        text += s.encrypted ? ", encrypted now" : "";
    return text;
}

std::string TunnelSection(const HubStatus& s) {
    std::string out = "Tunnel\n";
    out += Field("State", StateText(s));
    if (IsDown(s))
        out += Field("Attempts", std::to_string(s.attemptsSinceDown) + " since then");
    out +=
        Field("Server", s.host.empty() ? std::string("(none)")
                                       : ShownStored(s.host) + " port " + std::to_string(s.port));
    out += Field("Login", s.login.empty() ? std::string("(none)") : ShownStored(s.login));
    out += Field("Encryption", EncryptionText(s));
    out += Field("Tunnel name", TunnelNameText(s.tunnelName));
    if (s.lastCause != DisconnectCause::None)
        out += Field("Last disconnect", Stamp(s.lastDisconnect) + ", " +
                                            DisconnectCauseText(s.lastCause, s.causeDetail));
    if (s.nextReconnect != 0)
        out += Field("Next attempt",
                     Stamp(s.nextReconnect) + " (in " + Span(s.nextReconnect - s.now) + ")");
    return out;
}

std::string CountSection(const HubStatus& s) {
    const auto heading = [](const char* text) {
        return std::string(kNumberWidth - std::strlen(text), ' ') + text;
    };
    std::string out = Padded("Messages since start", kLabelWidth) + heading("LAN to tunnel") +
                      heading("tunnel to LAN") + "\n";
    out += CountRow("  relayed", true, s.toWan.relayed, true, s.toLan.relayed);
    out +=
        CountRow("  relayed in the last minute", true, s.toWanLastMinute, true, s.toLanLastMinute);
    out += CountRow("  HELLO rewritten (MASTER to SLAVE)", true, s.helloRewritten, false, 0);
    out += CountRow("  inventory requests answered", true, s.inventoryAnswered, false, 0);
    out += CountRow("  HEARTBEAT received (keeps it up)", false, 0, true, s.heartbeatsReceived);
    out += "  dropped:\n";
    for (const ReasonRow& row : kReasons)
        out += CountRow(std::string("    ") + row.label, row.toWan, s.toWan[row.reason], row.toLan,
                        s.toLan[row.reason]);
    return out;
}

std::string StationSection(const HubStatus& s) {
    std::string out = "Far stations (" + std::to_string(s.farStations.size()) + ")\n";
    if (s.farStations.empty())
        return out + "  none heard\n";
    std::size_t width = 12;
    for (const HubStatus::FarStation& station : s.farStations)
        width = std::max(width, station.name.size() + 2);
    out += "  " + Padded("Name", width) + Padded("First heard", 21) + Padded("Last heard", 21) +
           "Time left\n";
    for (const HubStatus::FarStation& station : s.farStations) {
        const std::int64_t left = station.lastHeard + s.stationLifetime - s.now;
        out += "  " + Shown(Padded(station.name, width)) + Padded(Stamp(station.firstHeard), 21) +
               Padded(Stamp(station.lastHeard), 21) + Span(left) + "\n";
    }
    return out;
}
} // namespace

std::string DisconnectCauseText(DisconnectCause cause, const std::string& detail) {
    switch (cause) {
    case DisconnectCause::ClosedByServer:
        return "closed by the server";
    case DisconnectCause::Refused:
        return "connection refused";
    case DisconnectCause::HostNotFound:
        return "host name not found";
    case DisconnectCause::NoServer:
        return "no tunnel server configured";
    case DisconnectCause::WanTimeout:
        return "time-out (nothing from the tunnel for 60 s)";
    case DisconnectCause::LocalRequest:
        return "reconnected after new options";
    case DisconnectCause::NetworkError:
        return detail.empty() ? "network error" : "network error: " + Shown(detail);
    case DisconnectCause::TlsFailed:
        return detail.empty() ? "TLS handshake failed" : "TLS handshake failed: " + Shown(detail);
    case DisconnectCause::CertificateRefused:
        return detail.empty() ? "certificate refused" : "certificate refused: " + Shown(detail);
    case DisconnectCause::ConnectTimeout:
        return "no connection within 10 s (server or path down?)";
    case DisconnectCause::ClosedBeforePrompt:
        return detail.empty() ? "closed by the server before its login prompt"
                              : "closed by the server before its login prompt; " + Shown(detail);
    case DisconnectCause::None:
        break;
    }
    return "none";
}

std::string StatusText(const HubStatus& s) {
    std::string out = "Kavlink status at " + Stamp(s.now) + "\n\n";
    out += TunnelSection(s) + "\n";
    out += "LAN\n";
    out += Field("Port", std::to_string(s.lanPort) + ", broadcast to " +
                             ShownStored(s.broadcastAddress) +
                             (s.lanOpen ? ", open" : ", NOT open (port in use or invalid?)"));
    if (!s.broadcastValid)
        out += Field("", "The broadcast address is not an IPv4 address: nothing from the tunnel "
                         "reaches the LAN. Correct \"Broadcast IP address\" in Options.");
    out += "\n" + CountSection(s) + "\n" + StationSection(s);
    return out;
}
