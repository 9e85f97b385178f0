#include "Settings.h"

#include "CIniFile.h"
#include "CSettingsStore.h"
#include "Fingerprint.h"

#include <cstring>
#include <string>

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
    //   field                          saved  profile control             label
    {"Lan",        "BroadcastAddress", SettingType::Text,    kDefaultBroadcastAddress, 0,
     &Settings::BroadcastAddress,       true,  false, "broadcastAddress", "Broadcast IP address"},
    {"Lan",        "PortNumber",       SettingType::Number,  "", kDefaultLanPort,
     &Settings::LanPortNumber,          true,  false, "lanPort",          "Port number"},
    {"TunnelSrv",  "Hostname",         SettingType::Text,    "", 0,
     &Settings::Hostname,               true,  true,  "tunnelHost",       "Hostname or IP address"},
    {"TunnelSrv",  "PortNumber",       SettingType::Number,  "", kDefaultTunnelPort,
     &Settings::TunnelPortNumber,       true,  true,  "tunnelPort",       "Port number"},
    {"TunnelSrv",  "Login",            SettingType::Text,    "", 0,
     &Settings::Login,                  true,  true,  "login",            "Login"},
    {"TunnelSrv",  "Password",         SettingType::Text,    "", 0,
     &Settings::Password,               true,  true,  "password",         "Password"},
    {"TunnelSrv",  "HeartBeat",        SettingType::Switch,  "", 0,
     &Settings::HeartBeat,              true,  false, "keepAlive",        "Keep alive"},
    {"TunnelSrv",  "FilterTimeSync",   SettingType::Switch,  "", 0,
     &Settings::FilterTimeSync,         true,  false, "filterTimeSync",   "Filter time sync"},
    {"TunnelSrv",  "Tls",              SettingType::Switch,  "", 0,
     &Settings::Tls,                    true,  true,  "tls",              "Encrypted (TLS)"},
    {"TunnelSrv",  "TlsFingerprint",   SettingType::Text,    "", 0,
     &Settings::TlsFingerprint,         true,  true,  "tlsFingerprint",   "Certificate SHA-256",
     FingerprintProblem},
    {"General",    "Debug",            SettingType::Number,  "", 0,
     &Settings::Debug,                  false, false, nullptr,            nullptr},
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

void UseServerProfile(Settings& settings, const Settings& profile) {
    for (const SettingDef& def : kSettings) {
        if (!def.inProfile)
            continue;
        std::visit([&](auto member) { settings.*member = profile.*member; }, def.field);
    }
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
