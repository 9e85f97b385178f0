#include "ServerSnapshot.h"

#include <cstring>

DropReason DropReasonOf(const char* text) {
    for (std::size_t i = 0; i < kDropReasons.size(); ++i) {
        if (text != nullptr && std::strcmp(text, kDropReasons[i].text) == 0)
            return static_cast<DropReason>(i);
    }
    return DropReason::BadChecksum;
}
