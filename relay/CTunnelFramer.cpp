#include "CTunnelFramer.h"

std::size_t CTunnelFramer::FindHighByte(std::string_view bytes, std::size_t from) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if ((static_cast<unsigned char>(bytes[i]) & 0x80) != 0)
            return i;
    }
    return std::string_view::npos;
}
