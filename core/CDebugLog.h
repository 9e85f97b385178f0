#pragma once

#include "Clock.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#if defined(__GNUC__) || defined(__clang__)
#define KAVLINK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KAVLINK_PRINTF(fmt, args)
#endif

// The time-stamped debug log beside the ini file. Level 1 status, 2 stations and tunnel
// name, 3 message traffic. Every line is flushed at once; a write error stops logging.
class CDebugLog {
public:
    CDebugLog();
    ~CDebugLog();
    CDebugLog(const CDebugLog&) = delete;
    CDebugLog& operator=(const CDebugLog&) = delete;

    void StartDebugLog(std::int32_t debugLevel, const std::string& iniPath,
                       const std::string& configDirectory);
    void LogLine(int level, const char* format, ...) KAVLINK_PRINTF(3, 4);
    void EndDebugLog();

    bool IsOpen() const { return m_file != nullptr; }
    std::int32_t Level() const { return m_level; }
    // Whether a line of this level would be written.
    bool Wants(int level) const { return m_file != nullptr && level <= m_level; }

    static std::string LogFilePath(const std::string& iniPath, const std::string& configDirectory);
    // Bytes below 0x20 other than tab become \xNN, so one event is always one line.
    static std::string EscapeControlBytes(std::string_view text);

    // Test seam: where the time stamp comes from.
    void SetClock(CalendarClock now) { m_now = std::move(now); }

private:
    std::int32_t m_level = 0;
    std::FILE* m_file = nullptr;
    CalendarClock m_now = SystemCalendarSeconds;
};
