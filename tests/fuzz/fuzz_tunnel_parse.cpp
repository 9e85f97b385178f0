// CheckTunnelLine and ORVANE_parse on arbitrary bytes, as a tunnel line or a LAN text would
// reach them.
#include "Orvane.h"
#include "TunnelLine.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
void Require(bool condition) {
    if (!condition)
        std::abort();
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

void CheckLine(const char* text, std::size_t length) {
    if (!CheckTunnelLine(text))
        return;
    // A valid line: the checksum byte is last and is the only byte with bit 7 set.
    Require(length > 0);
    for (std::size_t i = 0; i + 1 < length; ++i)
        Require((static_cast<unsigned char>(text[i]) & 0x80) == 0);
    Require(static_cast<unsigned char>(text[length - 1]) == TunnelChecksum(text, length - 1));
}

void CheckParse(const std::vector<char>& original, std::size_t length) {
    // Exactly as long as the text plus its NUL: any read past it is caught.
    std::vector<char> buffer(original.begin(), original.begin() + static_cast<long>(length) + 1);
    char* fields[ORVANE_MAX_FIELDS] = {};
    const int count = ORVANE_parse(fields, buffer.data());
    Require(count >= 0 && count <= ORVANE_MAX_FIELDS);
    const char* const begin = buffer.data();
    const char* const end = begin + length; // the terminating NUL
    const char* previousEnd = begin;
    for (int i = 0; i < count; ++i) {
        Require(fields[i] >= previousEnd && fields[i] <= end);
        const std::size_t size = std::strlen(fields[i]);
        Require(fields[i] + size <= end);
        // Fields come in order and never overlap; only a quoted one may hold blanks.
        const bool quoted = fields[i] > begin && fields[i][-1] == '"';
        for (std::size_t k = 0; k < size && !quoted; ++k)
            Require(!IsBlank(fields[i][k]));
        previousEnd = fields[i] + size;
    }
    // Nothing beyond the text was written.
    Require(buffer[length] == 0);
    // Parsing is in place only: the bytes that were not cut are unchanged.
    for (std::size_t i = 0; i < length; ++i)
        Require(buffer[i] == 0 || buffer[i] == original[i]);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Both callers copy into bounded buffers; a little more covers every case.
    if (size > 2048)
        return 0;
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const std::size_t length = std::strlen(text.data());
    CheckLine(text.data(), length);
    CheckParse(text, length);
    return 0;
}
