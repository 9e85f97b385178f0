#pragma once

#include "Defaults.h"

#include <cstdint>
#include <string>

class CSettingsStore;
struct ServerProfile;

// The configuration values the main window holds, named after their ini keys.
struct Settings {
    std::string BroadcastAddress = kDefaultBroadcastAddress;
    std::string Hostname;
    std::string Login;
    std::string Password;
    std::int32_t TunnelPortNumber = kDefaultTunnelPort;
    std::int32_t LanPortNumber = kDefaultLanPort;
    int HeartBeat = 0;
    int FilterTimeSync = 0;
    std::int32_t Debug = 0;
};

void LoadSettings(const CSettingsStore& store, Settings& settings);
void SaveSettings(const CSettingsStore& store, const Settings& settings);
// The profile's four tunnel fields (server, port, login, password) become the settings'.
void UseServerProfile(Settings& settings, const ServerProfile& profile);
// The first profile whose name equals profileName supplies the four tunnel fields, which are
// then saved. Returns whether one matched.
bool ApplyProfile(const CSettingsStore& store, Settings& settings, const std::string& profileName);
