#include "FormatText.h"

#include <cstdio>
#include <vector>

std::string FormatTextV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size <= 0)
        return {};
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<std::size_t>(size));
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatTextV(format, args);
    va_end(args);
    return out;
}
