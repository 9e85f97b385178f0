// The LAN datagram check on arbitrary bytes, as any program on the LAN could send them.
#include "Orvane.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
void Require(bool condition) {
    if (!condition)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536)
        return 0;
    // A copy of exactly the datagram's size, so that any overread is caught.
    const std::vector<char> datagram(data, data + size);
    QByteArray text;
    const bool valid = OrvaneCheckDatagram(datagram.data(), datagram.size(), text);
    if (valid) {
        // The text is the datagram less its checksum byte and optional NUL, and holds no NUL.
        Require(!text.contains('\0'));
        const auto textSize = static_cast<std::size_t>(text.size());
        Require(textSize + 1 == size || textSize + 2 == size);
        Require(std::memcmp(text.constData(), datagram.data(), textSize) == 0);
        // Framed again it is the same datagram with its NUL.
        const QByteArray framed = OrvaneBuildDatagram(text.constData());
        Require(static_cast<std::size_t>(framed.size()) == textSize + 2);
        Require(std::memcmp(framed.constData(), datagram.data(), std::min(size, textSize + 2)) ==
                0);
    } else {
        Require(text.isEmpty());
    }
    // Any text (up to a NUL) framed by the library passes the check and comes back whole.
    std::vector<char> asText(datagram);
    asText.push_back('\0');
    const QByteArray built = OrvaneBuildDatagram(asText.data());
    QByteArray back;
    Require(OrvaneCheckDatagram(built.constData(), static_cast<std::size_t>(built.size()), back));
    Require(back == QByteArray(asText.data()));
    return 0;
}
