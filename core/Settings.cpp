#include "Settings.h"

#include "CIniFile.h"
#include "CSettingsStore.h"
#include "Fingerprint.h"

#include <algorithm>
#include <cstring>
#include <string>

const char* BroadcastAddressProblem(const std::string& value) {
    constexpr const char* problem = "is not an IPv4 address: four numbers from 0 to 255 "
                                    "separated by dots, without blanks or leading zeros, such "
                                    "as 192.168.1.255.";
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (i == value.size() || value[i++] != '.'))
            return problem;
        const std::size_t first = i;
        int number = 0;
        while (i < value.size() && i - first < 3 && value[i] >= '0' && value[i] <= '9')
            number = number * 10 + (value[i++] - '0');
        // "010" is 8 to some readers and 10 to others.
        if (i == first || number > 255 || (value[first] == '0' && i - first > 1))
            return problem;
    }
    return i == value.size() ? nullptr : problem;
}

namespace {
// Empty (no pin) or a SHA-256 as openssl prints it or as plain hex.
const char* FingerprintProblem(const std::string& value) {
    if (value.empty() || !ParseFingerprint(QString::fromLatin1(value)).isEmpty())
        return nullptr;
    return "is not a SHA-256 fingerprint: 64 hexadecimal digits, colons and blanks allowed, as "
           "\"openssl x509 -noout -fingerprint -sha256\" prints it.";
}

// clang-format off
const SettingDef kSettings[] = {
    // section     key                 type                  default text / number
    //   field                          saved  profile
    //   control            label                          problem
    {"Lan",        "BroadcastAddress", SettingType::Text,    kDefaultBroadcastAddress, 0,
     &Settings::BroadcastAddress,       true,  ProfileKey::No,
     "broadcastAddress", "Broadcast IP address",     BroadcastAddressProblem},
    {"Lan",        "PortNumber",       SettingType::Number,  "", kDefaultLanPort,
     &Settings::LanPortNumber,          true,  ProfileKey::No,
     "lanPort",          "Port number (local network)"},
    {"TunnelSrv",  "Hostname",         SettingType::Text,    "", 0,
     &Settings::Hostname,               true,  ProfileKey::Default,
     "tunnelHost",       "Hostname or IP address"},
    {"TunnelSrv",  "PortNumber",       SettingType::Number,  "", kDefaultTunnelPort,
     &Settings::TunnelPortNumber,       true,  ProfileKey::Default,
     "tunnelPort",       "Port number (tunnel server)"},
    {"TunnelSrv",  "Login",            SettingType::Text,    "", 0,
     &Settings::Login,                  true,  ProfileKey::Default,
     "login",            "Login"},
    {"TunnelSrv",  "Password",         SettingType::Text,    "", 0,
     &Settings::Password,               true,  ProfileKey::Default,
     "password",         "Password"},
    {"TunnelSrv",  "HeartBeat",        SettingType::Switch,  "", 0,
     &Settings::HeartBeat,              true,  ProfileKey::No,
     "keepAlive",        "Keep alive"},
    {"TunnelSrv",  "FilterTimeSync",   SettingType::Switch,  "", 0,
     &Settings::FilterTimeSync,         true,  ProfileKey::No,
     "filterTimeSync",   "Filter time sync"},
    // Profiles saved before TLS lack these: loading one must not turn TLS off or drop the pin.
    {"TunnelSrv",  "Tls",              SettingType::Switch,  "", 0,
     &Settings::Tls,                    true,  ProfileKey::Unsaid,
     "tls",              "Encrypted (TLS)"},
    {"TunnelSrv",  "TlsFingerprint",   SettingType::Text,    "", 0,
     &Settings::TlsFingerprint,         true,  ProfileKey::Unsaid,
     "tlsFingerprint",   "Certificate SHA-256",      FingerprintProblem},
    {"General",    "Debug",            SettingType::Number,  "", 0,
     &Settings::Debug,                  false, ProfileKey::No,
     nullptr,            nullptr},
};
// clang-format on
} // namespace

std::span<const SettingDef> SettingsTable() {
    return kSettings;
}

const SettingDef* SettingOfControl(const char* control) {
    for (const SettingDef& def : kSettings) {
        if (def.control != nullptr && control != nullptr && std::strcmp(def.control, control) == 0)
            return &def;
    }
    return nullptr;
}

std::string DefaultText(const SettingDef& def) {
    return def.type == SettingType::Text ? def.defaultText : std::to_string(def.defaultNumber);
}

Settings::Settings() {
    for (const SettingDef& def : kSettings)
        CSettingsStore::Parse(def, DefaultText(def), *this);
}

void LoadSettings(const CSettingsStore& store, Settings& settings) {
    for (const SettingDef& def : kSettings)
        store.Read(def, def.section, settings);
}

// Debug is edited by hand only and never written. One replacement: a crash never leaves the
// login of one server beside the password of another.
void SaveSettings(const CSettingsStore& store, const Settings& settings) {
    CIniBatch batch;
    for (const SettingDef& def : kSettings) {
        if (def.saved)
            CSettingsStore::Write(batch, def, def.section, settings);
    }
    store.Commit(batch);
}

bool ServerProfile::Sets(const SettingDef& def) const {
    return std::find(sets.begin(), sets.end(), &def) != sets.end();
}

void UseServerProfile(Settings& settings, const ServerProfile& profile) {
    for (const SettingDef* def : profile.sets)
        std::visit([&](auto member) { settings.*member = profile.values.*member; }, def->field);
}

bool ApplyProfile(const CSettingsStore& store, Settings& settings, const std::string& profileName) {
    if (profileName.empty())
        return false;
    for (int n = 1; n <= kServerProfileCount; ++n) {
        if (store.ReadServerName(n) != profileName)
            continue;
        UseServerProfile(settings, store.LoadServer(n));
        // The chosen server stays in effect for later starts without --profile.
        SaveSettings(store, settings);
        return true;
    }
    return false;
}
