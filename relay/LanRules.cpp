#include "LanRules.h"

#include "FormatText.h"
#include "TunnelLine.h"

const char* LanDropReason(const char* const* fields,
                          const std::function<bool(const std::string&)>& isWanStation) {
    const char* keyword = fields[0];
    if (HasKeyword(keyword, "ADDQSO:") && *fields[2] != 0 && !isWanStation(fields[2]))
        return "Local ADDQSO";
    if (HasKeyword(keyword, "RCVDPKT:") || HasKeyword(keyword, "SENDPKT:"))
        return "Packet Frames";
    if (HasKeyword(keyword, "READAZIMUTH:") || HasKeyword(keyword, "SETAZIMUTH:"))
        return "Rotor Frames";
    if (HasKeyword(keyword, "IHAVELAN:"))
        return "IHAVELAN";
    if (HasKeyword(keyword, "IHAVE:"))
        return "IHAVE (LAN)";
    if (HasKeyword(keyword, "NEEDQSO:"))
        return "NEEDQSO (LAN)";
    if (HasKeyword(keyword, "NEEDQSOWAN:") && !isWanStation(fields[2]))
        return "NEEDQSOWAN recipient not external";
    return nullptr;
}

bool IsMasterHello(const char* const* fields, int count) {
    return count == 9 && HasKeyword(fields[0], "HELLO:") && HasKeyword(fields[5], "MASTER");
}

std::string RewriteMasterHello(const char* const* f) {
    return FormatText("HELLO: \"%s\" \"\" %s %s \"%s\" %s %s %s", f[1], f[3], f[4], "SLAVE", f[6],
                      f[7], f[8]);
}
