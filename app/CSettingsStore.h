#pragma once

#include <cstdint>
#include <string>

class CIniBatch;

// Setting identifiers: the hundreds give the section, N00 is the section's own text.
enum SettingId : std::uint16_t {
    SET_LAN = 100,
    SET_LAN_BROADCAST_ADDRESS = 101,
    SET_LAN_PORT_NUMBER = 102,
    SET_TUNNEL = 200,
    SET_TUNNEL_HOSTNAME = 201,
    SET_TUNNEL_PORT_NUMBER = 202,
    SET_TUNNEL_LOGIN = 203,
    SET_TUNNEL_PASSWORD = 204,
    SET_TUNNEL_HEARTBEAT = 205,
    SET_TUNNEL_FILTER_TIME_SYNC = 206,
    SET_GENERAL = 300,
    SET_GENERAL_DEBUG = 301,
    SET_SERVER_NAME = 401,
    SET_SERVER_HOSTNAME = 402,
    SET_SERVER_PORT_NUMBER = 403,
    SET_SERVER_LOGIN = 404,
    SET_SERVER_PASSWORD = 405,
};

inline constexpr int kServerProfileCount = 6;
inline constexpr std::int32_t kDefaultTunnelPort = 10368;

// The four tunnel fields that a server profile keeps.
struct ServerProfile {
    std::string Hostname;
    std::int32_t PortNumber = kDefaultTunnelPort;
    std::string Login;
    std::string Password;
};

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

    static void RegisterKeyTexts();
    static std::string KeyText(int id);

    int ReadText(int sectionId, int keyId, const std::string& def, std::string& out) const;
    int ReadInt(int sectionId, int keyId, std::int32_t def, std::int32_t& out) const;
    int ReadBool(int sectionId, int keyId, int def, int& out) const;
    void WriteText(int sectionId, int keyId, const std::string& value) const;
    void WriteInt(int sectionId, int keyId, std::int32_t value) const;
    void WriteBool(int sectionId, int keyId, int value) const;
    // The same into a batch, which reaches the file in one replacement at Commit.
    static void WriteText(CIniBatch& batch, int sectionId, int keyId, const std::string& value);
    static void WriteInt(CIniBatch& batch, int sectionId, int keyId, std::int32_t value);
    static void WriteBool(CIniBatch& batch, int sectionId, int keyId, int value);
    bool Commit(const CIniBatch& batch) const;

    // Server profiles 1 to 6, in the sections "Server1" to "Server6".
    static std::string ServerSection(int n);
    std::string ReadServerName(int n) const;
    ServerProfile LoadServer(int n) const;
    // Writes "Name" first when the profile has none yet; an empty name then writes nothing
    // and returns false. An existing name is not rewritten. All in one replacement.
    bool SaveServer(int n, const std::string& name, const ServerProfile& profile) const;
    void RenameServer(int n, const std::string& name) const;
    void DeleteServer(int n) const;

private:
    std::string m_iniPath;
};
