#pragma once

#include <string>
#include <string_view>

// How the data root was had.
enum class DataRootSource {
    Folder,           // the user's configuration folder
    ProgramDirectory, // no such folder: the data lives in the program's directory
    ProgramOnly,      // no folder facility at all: the ini file sits beside the program
};

// Where the data, the configuration directory and the ini file are. Directory texts end in
// a separator.
struct StartupPaths {
    std::string DataRoot;
    std::string DataDirectory;
    std::string ConfigDirectory;
    std::string IniPath;

    // The default places; creates the default directories, except for ProgramOnly.
    static StartupPaths Defaults(DataRootSource source, const std::string& folder,
                                 const std::string& moduleDirectory);
    // -a: a directory with a separator is taken as it is, a bare name goes under the data
    // root. Creates the directories and resets the ini file to the default name.
    void ApplyAlternateAppData(const std::string& directory);
    // -i: a file with a separator is taken as it is, a bare name goes in ConfigDirectory.
    void ApplyAlternateIni(const std::string& file);
};

// The user's configuration folder (e.g. ~/.config), or empty when there is none.
std::string ConfigurationFolder();
// The directory of the running program, ending in a separator.
std::string ProgramDirectory();
bool ContainsSeparator(std::string_view path);
// Creates every missing directory along the path. Text after the last separator is a file
// name and is not created; failures are ignored (the ini file then just cannot be written).
void MakeDirectories(const std::string& path);
