#pragma once

#include <cstdint>
#include <string>

// An "INVENTORY:" request as its twelve fields give it, numbers converted. Out-of-range
// numbers saturate; B + 1 is computed without overflow.
struct InventoryRequest {
    std::string requester; // field 1
    std::string recipient; // field 2
    std::string kind;      // field 3, "REQUEST"
    std::int32_t a = 0;    // field 4
    std::int32_t b1 = 0;   // field 5, raised by one
    std::int32_t aMin = 0; // fields 6 to 9; negative means no bound
    std::int32_t aMax = 0;
    std::int32_t bMin = 0;
    std::int32_t bMax = 0;
    std::int64_t token = 0; // field 10
    std::string text;       // field 11
};

// fields must hold at least twelve entries.
InventoryRequest ParseInventoryRequest(const char* const* fields);

// Whether a broadcast request falls in this tunnel's ranges (A as received, B after + 1).
bool InventoryRangesMatch(const InventoryRequest& request);

// "Kavlink v1.18.0 [HT]" with h/t in lower case for a switch that is off.
std::string InventoryVersionText(bool heartBeat, bool filterTimeSync);

// The one format of replies and relayed requests.
std::string FormatInventory(const std::string& sender, const std::string& recipient,
                            const std::string& kind, const InventoryRequest& numbers,
                            const std::string& text);
