#pragma once

#include "Settings.h"

#include <cstdint>
#include <string>

class CIniBatch;

inline constexpr int kServerProfileCount = 6;

// Every call reads or writes the ini file at that moment; nothing is cached.
class CSettingsStore {
public:
    explicit CSettingsStore(std::string iniPath = {});

    void SetIniPath(std::string iniPath);
    const std::string& IniPath() const { return m_iniPath; }

    // At most 1022 characters of a value are returned. Returns the count copied.
    int IniRead(const std::string& section, const std::string& key, const std::string& def,
                std::string& out) const;
    // A null key removes the whole section.
    bool IniWrite(const std::string& section, const char* key, const std::string& value) const;

    // One setting as its row says, from the section given (its own, or a profile's); its
    // default when the key is missing. Returns whether the key was there.
    bool Read(const SettingDef& def, const std::string& section, Settings& settings) const;
    // Into a batch, which reaches the file in one replacement at Commit.
    static void Write(CIniBatch& batch, const SettingDef& def, const std::string& section,
                      const Settings& settings);
    bool Commit(const CIniBatch& batch) const;
    // A stored text as the setting's value, and back.
    static void Parse(const SettingDef& def, const std::string& text, Settings& settings);
    static std::string Format(const SettingDef& def, const Settings& settings);

    // Server profiles 1 to 6, in the sections "Server1" to "Server6".
    static std::string ServerSection(int n);
    std::string ReadServerName(int n) const;
    // The profile's fields over the defaults, and which of them it sets: every profile row
    // but those whose key it lacks and a lack leaves unsaid. The other fields are defaults.
    ServerProfile LoadServer(int n) const;
    // Writes "Name" first when the profile has none yet; an empty name then writes nothing
    // and returns false. An existing name is not rewritten. All in one replacement.
    bool SaveServer(int n, const std::string& name, const Settings& profile) const;
    void RenameServer(int n, const std::string& name) const;
    void DeleteServer(int n) const;

private:
    bool ReadValue(const std::string& section, const std::string& key, std::string& value) const;

    std::string m_iniPath;
};
