#include "CommandLine.h"

#include "StartupPaths.h"
#include "StringTable.h"

#include <algorithm>
#include <optional>

namespace {
constexpr std::size_t kPathArgumentLimit = 255;
constexpr std::size_t kProfileNameLimit = 259;

enum class Option { None, AlternateAppData, AlternateIni, MultiInstance, Profile };

bool Consume(std::string_view& text, std::string_view prefix) {
    if (!text.starts_with(prefix))
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

// A short form may be followed by its long form; both are then taken.
bool ConsumeEither(std::string_view& text, std::string_view shortForm, std::string_view longForm) {
    const bool matchedShort = Consume(text, shortForm);
    const bool matchedLong = Consume(text, longForm);
    return matchedShort || matchedLong;
}

Option TakeOption(std::string_view& text) {
    if (ConsumeEither(text, "-a ", "--alternate-appdata "))
        return Option::AlternateAppData;
    if (ConsumeEither(text, "-i ", "--alternate-ini "))
        return Option::AlternateIni;
    if (Consume(text, "-m") || Consume(text, "--multi-instance"))
        return Option::MultiInstance;
    if (ConsumeEither(text, "-p ", "--profile "))
        return Option::Profile;
    return Option::None;
}

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The next word, cut to limit; nothing when only white space remains. An overlong word is
// taken whole, so its tail is never read as further options.
std::optional<std::string> TakeWord(std::string_view& text, std::size_t limit) {
    const auto begin = std::find_if_not(text.begin(), text.end(), IsWhiteSpace);
    const auto end = std::find_if(begin, text.end(), IsWhiteSpace);
    if (begin == end)
        return std::nullopt;
    std::string word(begin, begin + std::min<std::ptrdiff_t>(end - begin, limit));
    text.remove_prefix(static_cast<std::size_t>(end - text.begin()));
    return word;
}
} // namespace

CommandLine CommandLine::Parse(std::string_view text, StartupPaths& paths) {
    CommandLine result;
    while (!text.empty()) {
        while (!text.empty() && text.front() == ' ')
            text.remove_prefix(1);
        const Option option = TakeOption(text);
        if (option == Option::None)
            break;
        if (option == Option::MultiInstance) {
            result.MultiInstance = true;
            continue;
        }
        const std::size_t limit =
            option == Option::Profile ? kProfileNameLimit : kPathArgumentLimit;
        const std::optional<std::string> word = TakeWord(text, limit);
        if (!word)
            break;
        if (option == Option::AlternateAppData)
            paths.ApplyAlternateAppData(*word);
        else if (option == Option::AlternateIni)
            paths.ApplyAlternateIni(*word);
        else
            result.ProfileName = *word;
    }
    return result;
}

std::string CommandLine::Join(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) {
        if (&argument != &arguments.front())
            text += ' ';
        text += argument;
    }
    return text;
}

std::string UsageText() {
    return "Kavlink[.exe] [{-a|--alternate-appdata} IniFileDirectory] [{-i|--alternate-ini} "
           "IniFile.ini] [{-m|--multi-instance}] [{-p|--profile} ProfileName]";
}

std::string HelpText() {
    return UsageText() +
           "\n\n"
           "Links the local network of a radio logging station to the networks of other sites\n"
           "through a tunnel server. It lives in the notification area; without a display it\n"
           "runs headless and relays all the same.\n\n"
           "  -a, --alternate-appdata DIR  keep the configuration in DIR/cfg/ (a bare name is\n"
           "                               taken under ~/.config/)\n"
           "  -i, --alternate-ini FILE     use another ini file (a bare name in the\n"
           "                               configuration directory)\n"
           "  -m, --multi-instance         allow several Kavlink at once\n"
           "  -p, --profile NAME           select the server profile NAME and keep it\n"
           "  --help, --version            print this or the version (first argument only)\n\n"
           "Settings: ~/.config/Zentrik/cfg/Kavlink.ini ($XDG_CONFIG_HOME if set); the tunnel\n"
           "server is [TunnelSrv] Hostname, PortNumber, Login and Password, or Options... in\n"
           "the tray menu. Debug log: Kavlink.log beside the ini file, when [General] Debug is\n"
           "1 to 3. Status: Status... in the tray menu; headless, kill -USR1 writes it to\n"
           "standard error.\n";
}

std::optional<std::string> InformationText(const std::vector<std::string>& arguments) {
    if (arguments.empty())
        return std::nullopt;
    if (arguments.front() == "--help")
        return HelpText();
    if (arguments.front() == "--version")
        return std::string("Kavlink ") + kKavlinkVersion + '\n';
    return std::nullopt;
}
