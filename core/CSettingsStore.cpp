#include "CSettingsStore.h"

#include "CIniFile.h"
#include "Decimal.h"

#include <utility>

namespace {
// A read returns at most this many characters of a value.
constexpr std::size_t kMaxValueLength = 1022;

// The key of a profile's name.
constexpr const char* kNameKey = "Name";

bool ValidProfile(int n) {
    return n >= 1 && n <= kServerProfileCount;
}
} // namespace

CSettingsStore::CSettingsStore(std::string iniPath) : m_iniPath(std::move(iniPath)) {}

void CSettingsStore::SetIniPath(std::string iniPath) {
    m_iniPath = std::move(iniPath);
}

// value keeps what it held when the key is missing.
bool CSettingsStore::ReadValue(const std::string& section, const std::string& key,
                               std::string& value) const {
    const bool found = CIniFile(m_iniPath).Read(section, key, value);
    if (value.size() > kMaxValueLength)
        value.resize(kMaxValueLength);
    return found;
}

int CSettingsStore::IniRead(const std::string& section, const std::string& key,
                            const std::string& def, std::string& out) const {
    std::string value = def;
    ReadValue(section, key, value);
    out = std::move(value);
    return static_cast<int>(out.size());
}

bool CSettingsStore::IniWrite(const std::string& section, const char* key,
                              const std::string& value) const {
    return CIniFile(m_iniPath).Write(section, key, value);
}

bool CSettingsStore::Read(const SettingDef& def, const std::string& section,
                          Settings& settings) const {
    std::string text = DefaultText(def);
    const bool found = ReadValue(section, def.key, text);
    Parse(def, text, settings);
    return found;
}

void CSettingsStore::Write(CIniBatch& batch, const SettingDef& def, const std::string& section,
                           const Settings& settings) {
    batch.Write(section, def.key, Format(def, settings));
}

void CSettingsStore::Parse(const SettingDef& def, const std::string& text, Settings& settings) {
    if (const auto* text_member = std::get_if<std::string Settings::*>(&def.field)) {
        settings.** text_member = text;
        return;
    }
    std::int32_t& number = settings.*std::get<std::int32_t Settings::*>(def.field);
    // Only the exact text "0" is off: empty, "00" and "false" are all on.
    number = def.type == SettingType::Switch ? (text == "0" ? 0 : 1) : DecimalToInt32(text.c_str());
}

std::string CSettingsStore::Format(const SettingDef& def, const Settings& settings) {
    if (const auto* text_member = std::get_if<std::string Settings::*>(&def.field))
        return settings.**text_member;
    const std::int32_t number = settings.*std::get<std::int32_t Settings::*>(def.field);
    if (def.type == SettingType::Switch)
        return number != 0 ? "1" : "0";
    return std::to_string(number);
}

bool CSettingsStore::Commit(const CIniBatch& batch) const {
    return batch.Empty() || CIniFile(m_iniPath).Write(batch);
}

std::string CSettingsStore::ServerSection(int n) {
    return "Server" + std::to_string(n);
}

std::string CSettingsStore::ReadServerName(int n) const {
    std::string name;
    if (ValidProfile(n))
        IniRead(ServerSection(n), kNameKey, {}, name);
    return name;
}

ServerProfile CSettingsStore::LoadServer(int n) const {
    ServerProfile profile;
    if (!ValidProfile(n))
        return profile;
    const std::string section = ServerSection(n);
    for (const SettingDef& def : SettingsTable()) {
        if (def.inProfile == ProfileKey::No)
            continue;
        if (Read(def, section, profile.values) || def.inProfile == ProfileKey::Default)
            profile.sets.push_back(&def);
    }
    return profile;
}

bool CSettingsStore::SaveServer(int n, const std::string& name, const Settings& profile) const {
    if (!ValidProfile(n))
        return false;
    const std::string section = ServerSection(n);
    CIniBatch batch;
    if (ReadServerName(n).empty()) {
        if (name.empty())
            return false;
        batch.Write(section, kNameKey, name);
    }
    for (const SettingDef& def : SettingsTable()) {
        if (def.inProfile != ProfileKey::No)
            Write(batch, def, section, profile);
    }
    return Commit(batch);
}

void CSettingsStore::RenameServer(int n, const std::string& name) const {
    if (ValidProfile(n) && !name.empty())
        IniWrite(ServerSection(n), kNameKey, name);
}

void CSettingsStore::DeleteServer(int n) const {
    if (ValidProfile(n))
        IniWrite(ServerSection(n), nullptr, {});
}
