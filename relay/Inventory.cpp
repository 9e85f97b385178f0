#include "Inventory.h"

#include "Decimal.h"
#include "FormatText.h"
#include "StringTable.h"

#include <limits>

InventoryRequest ParseInventoryRequest(const char* const* fields) {
    InventoryRequest r;
    r.requester = fields[1];
    r.recipient = fields[2];
    r.kind = fields[3];
    r.a = DecimalToInt32(fields[4]);
    const std::int32_t b = DecimalToInt32(fields[5]);
    r.b1 = b == std::numeric_limits<std::int32_t>::max() ? b : b + 1;
    r.aMin = DecimalToInt32(fields[6]);
    r.aMax = DecimalToInt32(fields[7]);
    r.bMin = DecimalToInt32(fields[8]);
    r.bMax = DecimalToInt32(fields[9]);
    r.token = DecimalToInt64(fields[10]);
    r.text = fields[11];
    return r;
}

bool InventoryRangesMatch(const InventoryRequest& r) {
    return (r.aMin < 0 || r.a >= r.aMin) && (r.aMax < 0 || r.a <= r.aMax) &&
           (r.bMin < 0 || r.b1 >= r.bMin) && (r.bMax < 0 || r.b1 <= r.bMax);
}

std::string InventoryVersionText(bool heartBeat, bool filterTimeSync) {
    return std::string("Kavlink v") + kKavlinkVersion + " [" + (heartBeat ? 'H' : 'h') +
           (filterTimeSync ? 'T' : 't') + "]";
}

std::string FormatInventory(const std::string& sender, const std::string& recipient,
                            const std::string& kind, const InventoryRequest& n,
                            const std::string& text) {
    return FormatText("INVENTORY: \"%s\" \"%s\" \"%s\" %d %d %d %d %d %d %llu \"%s\"",
                      sender.c_str(), recipient.c_str(), kind.c_str(), n.a, n.b1, n.aMin, n.aMax,
                      n.bMin, n.bMax, static_cast<unsigned long long>(n.token), text.c_str());
}
