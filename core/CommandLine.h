#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct StartupPaths;

// What the command line asks for besides the places, which it changes as it goes.
struct CommandLine {
    bool MultiInstance = false;
    std::string ProfileName;

    // Reads one command text by the start-up grammar; -a and -i are applied to paths as they
    // are reached, so each -i is relative to the -a before it. An unrecognised word ends the
    // parse silently; options before it stay in effect.
    static CommandLine Parse(std::string_view text, StartupPaths& paths);
    // The arguments after the program name as the one text that Parse reads.
    static std::string Join(const std::vector<std::string>& arguments);
};

// "Kavlink[.exe] [{-a|--alternate-appdata} IniFileDirectory] ..."
std::string UsageText();
// What --help prints: the usage line, what each option does, where the files are.
std::string HelpText();

// What `kavlink --help` or `kavlink --version` prints, when that is the first argument; nothing
// for any other command line, which is then read as always.
std::optional<std::string> InformationText(const std::vector<std::string>& arguments);
