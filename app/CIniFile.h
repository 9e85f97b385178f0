#pragma once

#include <string>
#include <string_view>

// One ini file, read and written value by value. Section and key names compare without regard
// to case; a value is read with its surrounding blanks and one pair of double quotes removed.
// Every call goes to the file: nothing is cached. A write changes only the line it names,
// keeps comments and the file's line ends, and replaces the file atomically; a new file is
// readable by its owner only, as it holds the tunnel password.
class CIniFile {
public:
    explicit CIniFile(std::string path);

    // Whether the key was found; value is left alone when it was not. Where a section or key
    // appears twice, the first one wins.
    bool Read(std::string_view section, std::string_view key, std::string& value) const;
    // Creates the file, section and key as needed. A null key removes every section of that
    // name with all its lines. Refuses (returns false) names or values that would break the
    // line structure, and a file that exists but cannot be read.
    bool Write(std::string_view section, const char* key, std::string_view value) const;

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};
