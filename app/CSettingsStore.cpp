#include "CSettingsStore.h"

#include "CIniFile.h"
#include "Decimal.h"

#include <map>

namespace {
// A read returns at most this many characters of a value.
constexpr std::size_t kMaxValueLength = 1022;

std::map<int, std::string>& KeyTexts() {
    static std::map<int, std::string> table;
    return table;
}

bool ValidProfile(int n) {
    return n >= 1 && n <= kServerProfileCount;
}
} // namespace

CSettingsStore::CSettingsStore(std::string iniPath) : m_iniPath(std::move(iniPath)) {}

void CSettingsStore::SetIniPath(std::string iniPath) {
    m_iniPath = std::move(iniPath);
}

int CSettingsStore::IniRead(const std::string& section, const std::string& key,
                            const std::string& def, std::string& out) const {
    std::string value = def;
    CIniFile(m_iniPath).Read(section, key, value);
    if (value.size() > kMaxValueLength)
        value.resize(kMaxValueLength);
    out = std::move(value);
    return static_cast<int>(out.size());
}

bool CSettingsStore::IniWrite(const std::string& section, const char* key,
                              const std::string& value) const {
    return CIniFile(m_iniPath).Write(section, key, value);
}

void CSettingsStore::RegisterKeyTexts() {
    KeyTexts() = {
        {SET_LAN, "Lan"},
        {SET_LAN_BROADCAST_ADDRESS, "BroadcastAddress"},
        {SET_LAN_PORT_NUMBER, "PortNumber"},
        {SET_TUNNEL, "TunnelSrv"},
        {SET_TUNNEL_HOSTNAME, "Hostname"},
        {SET_TUNNEL_PORT_NUMBER, "PortNumber"},
        {SET_TUNNEL_LOGIN, "Login"},
        {SET_TUNNEL_PASSWORD, "Password"},
        {SET_TUNNEL_HEARTBEAT, "HeartBeat"},
        {SET_TUNNEL_FILTER_TIME_SYNC, "FilterTimeSync"},
        {SET_GENERAL, "General"},
        {SET_GENERAL_DEBUG, "Debug"},
        {SET_SERVER_NAME, "Name"},
        {SET_SERVER_HOSTNAME, "Hostname"},
        {SET_SERVER_PORT_NUMBER, "PortNumber"},
        {SET_SERVER_LOGIN, "Login"},
        {SET_SERVER_PASSWORD, "Password"},
    };
}

std::string CSettingsStore::KeyText(int id) {
    const auto& table = KeyTexts();
    const auto it = table.find(id);
    return it != table.end() ? it->second : std::string();
}

int CSettingsStore::ReadText(int sectionId, int keyId, const std::string& def,
                             std::string& out) const {
    const std::string section = KeyText(sectionId);
    if (section.empty())
        return 0;
    return IniRead(section, KeyText(keyId), def, out);
}

int CSettingsStore::ReadInt(int sectionId, int keyId, std::int32_t def, std::int32_t& out) const {
    const std::string section = KeyText(sectionId);
    if (section.empty())
        return 0;
    std::string text;
    const int count = IniRead(section, KeyText(keyId), std::to_string(def), text);
    out = DecimalToInt32(text.c_str());
    return count;
}

int CSettingsStore::ReadBool(int sectionId, int keyId, int def, int& out) const {
    const std::string section = KeyText(sectionId);
    if (section.empty())
        return 0;
    std::string text;
    const int count = IniRead(section, KeyText(keyId), def != 0 ? "1" : "0", text);
    // Only the exact text "0" is off: empty, "00" and "false" are all on.
    out = text == "0" ? 0 : 1;
    return count;
}

void CSettingsStore::WriteText(int sectionId, int keyId, const std::string& value) const {
    CIniBatch batch;
    WriteText(batch, sectionId, keyId, value);
    Commit(batch);
}

void CSettingsStore::WriteInt(int sectionId, int keyId, std::int32_t value) const {
    WriteText(sectionId, keyId, std::to_string(value));
}

void CSettingsStore::WriteBool(int sectionId, int keyId, int value) const {
    WriteText(sectionId, keyId, value != 0 ? "1" : "0");
}

void CSettingsStore::WriteText(CIniBatch& batch, int sectionId, int keyId,
                               const std::string& value) {
    const std::string section = KeyText(sectionId);
    if (section.empty())
        return;
    const std::string key = KeyText(keyId);
    batch.Write(section, key.c_str(), value);
}

void CSettingsStore::WriteInt(CIniBatch& batch, int sectionId, int keyId, std::int32_t value) {
    WriteText(batch, sectionId, keyId, std::to_string(value));
}

void CSettingsStore::WriteBool(CIniBatch& batch, int sectionId, int keyId, int value) {
    WriteText(batch, sectionId, keyId, value != 0 ? "1" : "0");
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
        IniRead(ServerSection(n), KeyText(SET_SERVER_NAME), {}, name);
    return name;
}

ServerProfile CSettingsStore::LoadServer(int n) const {
    ServerProfile profile;
    if (!ValidProfile(n))
        return profile;
    const std::string section = ServerSection(n);
    std::string port;
    IniRead(section, KeyText(SET_SERVER_HOSTNAME), {}, profile.Hostname);
    IniRead(section, KeyText(SET_SERVER_PORT_NUMBER), std::to_string(kDefaultTunnelPort), port);
    profile.PortNumber = DecimalToInt32(port.c_str());
    IniRead(section, KeyText(SET_SERVER_LOGIN), {}, profile.Login);
    IniRead(section, KeyText(SET_SERVER_PASSWORD), {}, profile.Password);
    return profile;
}

bool CSettingsStore::SaveServer(int n, const std::string& name,
                                const ServerProfile& profile) const {
    if (!ValidProfile(n))
        return false;
    const std::string section = ServerSection(n);
    CIniBatch batch;
    if (ReadServerName(n).empty()) {
        if (name.empty())
            return false;
        batch.Write(section, KeyText(SET_SERVER_NAME).c_str(), name);
    }
    batch.Write(section, KeyText(SET_SERVER_HOSTNAME).c_str(), profile.Hostname);
    batch.Write(section, KeyText(SET_SERVER_PORT_NUMBER).c_str(),
                std::to_string(profile.PortNumber));
    batch.Write(section, KeyText(SET_SERVER_LOGIN).c_str(), profile.Login);
    batch.Write(section, KeyText(SET_SERVER_PASSWORD).c_str(), profile.Password);
    return Commit(batch);
}

void CSettingsStore::RenameServer(int n, const std::string& name) const {
    if (ValidProfile(n) && !name.empty())
        IniWrite(ServerSection(n), KeyText(SET_SERVER_NAME).c_str(), name);
}

void CSettingsStore::DeleteServer(int n) const {
    if (ValidProfile(n))
        IniWrite(ServerSection(n), nullptr, {});
}
