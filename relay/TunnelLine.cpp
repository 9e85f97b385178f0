#include "TunnelLine.h"

#include <cstring>

void EncodeTunnelLine(std::string& text) {
    std::string out;
    out.reserve(text.size() * 2 + 1);
    unsigned char sum = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0)
            break;
        // 0x80 would become 7F 00, which no NUL-terminated end can carry.
        if (byte == 0xFF || byte == 0x80)
            continue;
        if (byte >= 0x7F) {
            const auto low = static_cast<unsigned char>(byte & 0x7F);
            out.push_back(static_cast<char>(0x7F));
            out.push_back(static_cast<char>(low));
            sum = static_cast<unsigned char>(sum + 0x7F + low);
        } else {
            out.push_back(c);
            sum = static_cast<unsigned char>(sum + byte);
        }
    }
    out.push_back(static_cast<char>(sum | 0x80));
    text = std::move(out);
}

unsigned char TunnelChecksum(const char* bytes, std::size_t size) {
    unsigned char sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(bytes[i]));
    return static_cast<unsigned char>(sum | 0x80);
}

bool CheckTunnelLine(const char* bytes) {
    if (bytes == nullptr)
        return false;
    unsigned char sum = 0;
    const char* p = bytes;
    for (; *p != 0 && (static_cast<unsigned char>(*p) & 0x80) == 0; ++p)
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(*p));
    if (*p == 0)
        return false;
    return static_cast<unsigned char>(*p) == (sum | 0x80) && p[1] == 0;
}

bool HasKeyword(const char* field0, const char* keyword) {
    return field0 != nullptr && keyword != nullptr && std::strcmp(field0, keyword) == 0;
}
