#include "CTunnelFramer.h"

std::size_t CTunnelFramer::FindLineEnd(std::size_t from) const {
    for (std::size_t i = from; i < m_buffer.size(); ++i) {
        if ((static_cast<unsigned char>(m_buffer[i]) & 0x80) != 0)
            return i;
    }
    return std::string::npos;
}
