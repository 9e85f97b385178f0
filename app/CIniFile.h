#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Writes to one ini file collected to reach the disk together.
class CIniBatch {
public:
    // As CIniFile::Write: a null key removes every section of that name.
    void Write(std::string_view section, const char* key, std::string_view value);
    bool Empty() const { return m_changes.empty(); }

private:
    friend class CIniFile;
    struct Change {
        std::string section;
        std::optional<std::string> key;
        std::string value;
    };
    std::vector<Change> m_changes;
};

// One ini file, read and written value by value. Section and key names compare without regard
// to case; a value is read with its surrounding blanks and one pair of double quotes removed.
// Every call goes to the file: nothing is cached. A write changes only the lines it names,
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
    // Every change of the batch, in order, in one replacement of the file: after a crash the
    // file holds all of them or none. One refused change refuses the whole batch.
    bool Write(const CIniBatch& batch) const;

    const std::string& Path() const { return m_path; }

    // Test seam: asked before each change is applied and before the file is replaced; false
    // stops the write there, as a crash would, leaving the file as it was.
    enum class Step { Change, Replace };
    static void SetStepHook(std::function<bool(Step)> hook);

private:
    std::string m_path;
};
