#include "Verdict.h"

#include "Inventory.h"
#include "Settings.h"
#include "TunnelLine.h"

namespace {

bool WellFormed(const ParsedText& parsed) {
    return parsed.count > 2 && *parsed.fields[0] != 0 && *parsed.fields[1] != 0;
}

// Answers a request for this tunnel or one whose ranges match; true when it was addressed to
// this tunnel alone, which ends it. Otherwise it goes on in its one format.
bool AnswerInventory(const ParsedText& parsed, const LanSituation& situation, LanVerdict& verdict) {
    const InventoryRequest request = ParseInventoryRequest(parsed.fields);
    const bool addressed = request.recipient == situation.tunnelName;
    const bool answered = request.recipient.empty() && InventoryRangesMatch(request);
    verdict.inventoryRequest = true;
    if (addressed || answered) {
        const Settings& settings = situation.settings;
        const std::string version =
            InventoryVersionText(settings.HeartBeat != 0, settings.FilterTimeSync != 0);
        verdict.reply =
            InventoryReply{FormatInventory(std::string(situation.tunnelName), request.requester,
                                           "STATUS", request, version),
                           situation.isWanStation(request.requester)};
        if (addressed)
            return true;
    }
    verdict.outgoing =
        FormatInventory(request.requester, request.recipient, request.kind, request, request.text);
    return false;
}

} // namespace

LanVerdict JudgeLanMessage(std::string_view text, const ParsedText& parsed,
                           const LanSituation& situation) {
    LanVerdict verdict;
    const auto stop = [&verdict](LanFate fate) {
        verdict.fate = fate;
        return verdict;
    };
    if (!situation.tunnelOpen)
        return stop(LanFate::TunnelDown);
    if (situation.tooLong)
        return stop(LanFate::TooLong);
    if (!situation.loggedIn)
        return stop(LanFate::TunnelDown);
    if (!WellFormed(parsed))
        return stop(LanFate::Malformed);
    // Asked before the rules: the echo is used up whatever happens to the message.
    const bool echo = situation.isEcho();

    const char* const* fields = parsed.fields;
    const bool fromWan = situation.isWanStation(fields[1]);
    verdict.rule = LanDropKind(fields, situation.isWanStation);
    if (verdict.rule != LanDrop::None)
        return stop(LanFate::Rule);
    if (HasKeyword(fields[0], "IHAVEWAN:") && !fromWan)
        verdict.nameTunnelAfter = fields[1];
    verdict.outgoing = std::string(text);
    if (parsed.count == 12 && HasKeyword(fields[0], "INVENTORY:") &&
        HasKeyword(fields[3], "REQUEST") && AnswerInventory(parsed, situation, verdict))
        return stop(LanFate::AnsweredHere);
    const bool filterTime = situation.settings.FilterTimeSync != 0;
    verdict.timeMessage = HasKeyword(fields[0], "TIME:");
    if (verdict.timeMessage && filterTime)
        return stop(LanFate::Time);
    if (filterTime && IsMasterHello(fields, parsed.count)) {
        verdict.helloRewritten = true;
        verdict.outgoing = RewriteMasterHello(fields);
    }
    // A station behind the tunnel, or our own broadcast of one: it came from there.
    if (fromWan)
        return stop(LanFate::FromFarStation);
    if (echo)
        return stop(LanFate::Echo);
    return verdict;
}

TunnelFate JudgeTunnelLine(bool checksumRight, const ParsedText& parsed, const Settings& settings) {
    if (!checksumRight)
        return TunnelFate::BadChecksum;
    if (!WellFormed(parsed))
        return TunnelFate::Malformed;
    if (HasKeyword(parsed.fields[0], "HEARTBEAT:"))
        return TunnelFate::Heartbeat;
    if (HasKeyword(parsed.fields[0], "TIME:") && settings.FilterTimeSync != 0)
        return TunnelFate::Time;
    return TunnelFate::Relay;
}

const char* TunnelFateText(TunnelFate fate) {
    switch (fate) {
    case TunnelFate::Heartbeat:
        return "HEARTBEAT";
    case TunnelFate::Time:
        return "TIME";
    case TunnelFate::Relay:
    case TunnelFate::BadChecksum:
    case TunnelFate::Malformed:
        break;
    }
    return nullptr;
}
