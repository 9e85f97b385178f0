#pragma once

#include "Defaults.h"

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

class CSettingsStore;

// The configuration values the main window holds, named after their ini keys. A fresh one
// holds every default of the table below.
struct Settings {
    Settings();

    std::string BroadcastAddress;
    std::string Hostname;
    std::string Login;
    std::string Password;
    std::int32_t TunnelPortNumber = 0;
    std::int32_t LanPortNumber = 0;
    std::int32_t HeartBeat = 0;
    std::int32_t FilterTimeSync = 0;
    std::int32_t Debug = 0;
    std::int32_t Tls = 0;
    std::string TlsFingerprint;
};

// How a value is kept in the ini file: text as its bytes, a number in decimal, a switch as
// "0" for off and anything else for on.
enum class SettingType { Text, Number, Switch };

// Whether a server profile keeps a setting too, under the same key, and what a profile without
// the key means. Default: the default value (the profile's first four keys, which every profile
// has held). Unsaid: nothing, the setting stays as it is (keys added later, which older profiles
// lack).
enum class ProfileKey { No, Default, Unsaid };

// One setting, defined once: where the ini file keeps it, its default, where it lives in
// Settings, and the options dialog's control that shows it.
struct SettingDef {
    const char* section;
    const char* key;
    SettingType type;
    const char* defaultText;    // of a text
    std::int32_t defaultNumber; // of a number or a switch
    std::variant<std::string Settings::*, std::int32_t Settings::*> field;
    bool saved; // written by SaveSettings; the rest is edited by hand only
    ProfileKey inProfile;
    // The dialog control's object name, and how a message names the field; null for none.
    const char* control;
    const char* label;
    // What is wrong with a value the dialog was given, or null when it is fine.
    const char* (*problem)(const std::string& value) = nullptr;
};

// Every setting, in the order the ini file is written.
std::span<const SettingDef> SettingsTable();
// The default as the ini file would hold it.
std::string DefaultText(const SettingDef& def);
// The row of a dialog control, or null.
const SettingDef* SettingOfControl(const char* control);

// What is wrong with a LAN broadcast address, or null: it must be an IPv4 address written as
// four decimal numbers 0 to 255 without leading zeros, the one form every reader takes alike.
const char* BroadcastAddressProblem(const std::string& value);

// A stored server profile: its values over the defaults, and the rows it sets.
struct ServerProfile {
    Settings values;
    std::vector<const SettingDef*> sets;

    bool Sets(const SettingDef& def) const;
};

void LoadSettings(const CSettingsStore& store, Settings& settings);
void SaveSettings(const CSettingsStore& store, const Settings& settings);
// The fields the profile sets (the tunnel server, its port, login and password, and the TLS
// settings where it holds them) become the settings'.
void UseServerProfile(Settings& settings, const ServerProfile& profile);
// The first profile whose name equals profileName supplies the tunnel fields, which are then
// saved. Returns whether one matched.
bool ApplyProfile(const CSettingsStore& store, Settings& settings, const std::string& profileName);
