#pragma once

#include <cstddef>
#include <string>

// A message on the tunnel: bytes from 0x7F up escaped as 0x7F plus their low seven bits,
// 0xFF and 0x80 left out, then one checksum byte (8-bit sum OR 0x80) that ends the line.

inline constexpr std::size_t kMaxLanMessage = 256;     // a LAN text must be shorter
inline constexpr std::size_t kMaxTunnelMessage = 1024; // a tunnel line must be shorter

// Replaces text (taken up to its first NUL) by its tunnel line.
void EncodeTunnelLine(std::string& text);

// bytes is NUL-terminated and ends with a candidate checksum byte: true when that byte is
// right and is the last one.
bool CheckTunnelLine(const char* bytes);

// The 8-bit sum OR 0x80 of size bytes.
unsigned char TunnelChecksum(const char* bytes, std::size_t size);

// Whole-field, case-sensitive keyword test; the colon belongs to the keyword.
bool HasKeyword(const char* field0, const char* keyword);
