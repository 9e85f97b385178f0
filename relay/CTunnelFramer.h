#pragma once

#include "TunnelLine.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Cuts the byte stream of a tunnel connection into tunnel lines at their checksum byte (the
// only byte with bit 7 set). Bounded: a line of kMaxTunnelMessage bytes or more is skipped,
// and bytes that can no longer become an acceptable line are discarded.
class CTunnelFramer {
public:
    // Appends a chunk and calls onLine(std::string_view line) for each complete line shorter
    // than kMaxTunnelMessage, in order; the view includes the checksum byte and is valid only
    // during the call.
    template <typename OnLine> void Append(std::string_view chunk, OnLine&& onLine) {
        if (m_skipping) {
            // The rest of a line already known to be too long, up to its checksum byte.
            const std::size_t end = FindHighByte(chunk, 0);
            if (end == std::string_view::npos)
                return;
            chunk.remove_prefix(end + 1);
            m_skipping = false;
        }
        m_buffer.append(chunk);
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = FindHighByte(m_buffer, start);
            if (end == std::string_view::npos)
                break;
            const std::size_t n = end - start + 1;
            if (n >= kMaxTunnelMessage)
                ++m_discarded;
            else
                onLine(std::string_view(m_buffer).substr(start, n));
            start += n;
        }
        m_buffer.erase(0, start);
        // No acceptable line can be this long any more: drop it through its end, so that
        // how the bytes were chunked never changes which lines come out.
        if (m_buffer.size() >= kMaxTunnelMessage) {
            m_buffer.clear();
            m_skipping = true;
            ++m_discarded;
        }
    }

    void Clear() {
        m_buffer.clear();
        m_skipping = false;
    }
    std::size_t Buffered() const { return m_buffer.size(); }
    // Lines and partial lines thrown away for their length.
    std::uint64_t Discarded() const { return m_discarded; }

private:
    static std::size_t FindHighByte(std::string_view bytes, std::size_t from);

    std::string m_buffer;
    bool m_skipping = false;
    std::uint64_t m_discarded = 0;
};
