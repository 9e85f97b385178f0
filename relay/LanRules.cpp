#include "LanRules.h"

#include "FormatText.h"
#include "TunnelLine.h"

LanDrop LanDropKind(const char* const* fields,
                    const std::function<bool(const std::string&)>& isWanStation) {
    const char* keyword = fields[0];
    if (HasKeyword(keyword, "ADDQSO:") && *fields[2] != 0 && !isWanStation(fields[2]))
        return LanDrop::LocalAddQso;
    if (HasKeyword(keyword, "RCVDPKT:") || HasKeyword(keyword, "SENDPKT:"))
        return LanDrop::Packet;
    if (HasKeyword(keyword, "READAZIMUTH:") || HasKeyword(keyword, "SETAZIMUTH:"))
        return LanDrop::Rotor;
    if (HasKeyword(keyword, "IHAVELAN:"))
        return LanDrop::IHaveLan;
    if (HasKeyword(keyword, "IHAVE:"))
        return LanDrop::IHave;
    if (HasKeyword(keyword, "NEEDQSO:"))
        return LanDrop::NeedQso;
    if (HasKeyword(keyword, "NEEDQSOWAN:") && !isWanStation(fields[2]))
        return LanDrop::NeedQsoWan;
    return LanDrop::None;
}

const char* LanDropText(LanDrop drop) {
    switch (drop) {
    case LanDrop::LocalAddQso:
        return "Local ADDQSO";
    case LanDrop::Packet:
        return "Packet Frames";
    case LanDrop::Rotor:
        return "Rotor Frames";
    case LanDrop::IHaveLan:
        return "IHAVELAN";
    case LanDrop::IHave:
        return "IHAVE (LAN)";
    case LanDrop::NeedQso:
        return "NEEDQSO (LAN)";
    case LanDrop::NeedQsoWan:
        return "NEEDQSOWAN recipient not external";
    case LanDrop::None:
        break;
    }
    return nullptr;
}

bool IsMasterHello(const char* const* fields, int count) {
    return count == 9 && HasKeyword(fields[0], "HELLO:") && HasKeyword(fields[5], "MASTER");
}

std::string RewriteMasterHello(const char* const* f) {
    return FormatText("HELLO: \"%s\" \"\" %s %s \"%s\" %s %s %s", f[1], f[3], f[4], "SLAVE", f[6],
                      f[7], f[8]);
}
