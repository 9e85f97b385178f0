#include "CDebugLog.h"

#include <cstdarg>

namespace {
constexpr std::size_t kMessageBuffer = 1024; // at most 1023 characters of a message
constexpr std::size_t kStampBuffer = 32;

std::string TimeStamp(std::time_t now) {
    std::tm local{};
    const bool ok = localtime_r(&now, &local) != nullptr;
    char stamp[kStampBuffer] = {};
    if (!ok || std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return "0000-00-00 00:00:00";
    return stamp;
}
} // namespace

CDebugLog::CDebugLog() = default;

CDebugLog::~CDebugLog() {
    if (m_file != nullptr)
        std::fclose(m_file);
}

std::string CDebugLog::LogFilePath(const std::string& iniPath, const std::string& configDirectory) {
    // Only a dot in the file name counts: on Linux the directories (~/.config) have dots.
    const std::size_t nameStart = iniPath.find_last_of("/\\");
    const std::size_t dot = iniPath.rfind('.');
    if (dot == std::string::npos || (nameStart != std::string::npos && dot < nameStart))
        return configDirectory + "Kavlink.log";
    std::string path = iniPath.substr(0, dot + 1) + "log";
    // An ini file that already ends in ".log" must not receive the log lines.
    if (path == iniPath)
        path += ".log";
    return path;
}

std::string CDebugLog::EscapeControlBytes(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 || byte == '\t') {
            out += c;
            continue;
        }
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
    return out;
}

void CDebugLog::StartDebugLog(std::int32_t debugLevel, const std::string& iniPath,
                              const std::string& configDirectory) {
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_level = debugLevel;
    if (m_level <= 0)
        return;
    m_file = std::fopen(LogFilePath(iniPath, configDirectory).c_str(), "a");
    if (m_file == nullptr)
        return;
    LogLine(1, "-- Debug Start --");
}

void CDebugLog::LogLine(int level, const char* format, ...) {
    if (!Wants(level))
        return;
    char message[kMessageBuffer] = {};
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (length < 0)
        message[0] = '\0';

    const std::string stamp = TimeStamp(static_cast<std::time_t>(m_now()));
    const std::string text = EscapeControlBytes(message);
    const bool written = std::fprintf(m_file, "%s %s\n", stamp.c_str(), text.c_str()) >= 0;
    if (!written || std::fflush(m_file) != 0 || std::ferror(m_file) != 0) {
        // Disk full or file gone: stop for good rather than fail on every line.
        std::fclose(m_file);
        m_file = nullptr;
    }
}

void CDebugLog::EndDebugLog() {
    LogLine(1, "-- Debug End --");
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}
