#pragma once

#include <functional>
#include <string>

// The drop tests that a LAN message meets before it may cross to the WAN, in their order.
// Returns the reason shown in "From LAN (DROPPED - %s) : %s", or nullptr when the message goes
// on. fields[0] is the keyword, fields[1] the sender, fields[2] the recipient.
const char* LanDropReason(const char* const* fields,
                          const std::function<bool(const std::string&)>& isWanStation);

// A 9-field "HELLO:" announcing "MASTER", rewritten to "SLAVE" with an empty recipient.
bool IsMasterHello(const char* const* fields, int count);
std::string RewriteMasterHello(const char* const* fields);
