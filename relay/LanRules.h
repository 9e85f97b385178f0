#pragma once

#include <functional>
#include <string>

// The drop tests that a LAN message meets before it may cross to the WAN, in their order.
// fields[0] is the keyword, fields[1] the sender, fields[2] the recipient.
enum class LanDrop { None, LocalAddQso, Packet, Rotor, IHaveLan, IHave, NeedQso, NeedQsoWan };
LanDrop LanDropKind(const char* const* fields,
                    const std::function<bool(const std::string&)>& isWanStation);
// The reason shown in "From LAN (DROPPED - %s) : %s"; nullptr for None.
const char* LanDropText(LanDrop drop);

// A 9-field "HELLO:" announcing "MASTER", rewritten to "SLAVE" with an empty recipient.
bool IsMasterHello(const char* const* fields, int count);
std::string RewriteMasterHello(const char* const* fields);
