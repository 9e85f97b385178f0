#pragma once

#include <cstdint>

// The usual decimal conversion: leading white space skipped, an optional sign, then digits
// up to the first other character; no digits gives 0. Values outside the type saturate.
std::int32_t DecimalToInt32(const char* text);
std::int64_t DecimalToInt64(const char* text);
