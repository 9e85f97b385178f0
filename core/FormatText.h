#pragma once

#include "CDebugLog.h"

#include <cstdarg>
#include <string>

// printf-style formatting into a string of any length.
std::string FormatText(const char* format, ...) KAVLINK_PRINTF(1, 2);
std::string FormatTextV(const char* format, va_list args) KAVLINK_PRINTF(1, 0);
