#include "Settings.h"

#include "CIniFile.h"
#include "CSettingsStore.h"

void LoadSettings(const CSettingsStore& store, Settings& settings) {
    store.ReadInt(SET_GENERAL, SET_GENERAL_DEBUG, 0, settings.Debug);
    store.ReadText(SET_LAN, SET_LAN_BROADCAST_ADDRESS, kDefaultBroadcastAddress,
                   settings.BroadcastAddress);
    store.ReadInt(SET_LAN, SET_LAN_PORT_NUMBER, kDefaultLanPort, settings.LanPortNumber);
    store.ReadText(SET_TUNNEL, SET_TUNNEL_HOSTNAME, {}, settings.Hostname);
    store.ReadInt(SET_TUNNEL, SET_TUNNEL_PORT_NUMBER, kDefaultTunnelPort,
                  settings.TunnelPortNumber);
    store.ReadText(SET_TUNNEL, SET_TUNNEL_LOGIN, {}, settings.Login);
    store.ReadText(SET_TUNNEL, SET_TUNNEL_PASSWORD, {}, settings.Password);
    store.ReadBool(SET_TUNNEL, SET_TUNNEL_HEARTBEAT, 0, settings.HeartBeat);
    store.ReadBool(SET_TUNNEL, SET_TUNNEL_FILTER_TIME_SYNC, 0, settings.FilterTimeSync);
}

// Debug is edited by hand only and never written. One replacement: a crash never leaves the
// login of one server beside the password of another.
void SaveSettings(const CSettingsStore& store, const Settings& settings) {
    CIniBatch batch;
    CSettingsStore::WriteText(batch, SET_LAN, SET_LAN_BROADCAST_ADDRESS, settings.BroadcastAddress);
    CSettingsStore::WriteInt(batch, SET_LAN, SET_LAN_PORT_NUMBER, settings.LanPortNumber);
    CSettingsStore::WriteText(batch, SET_TUNNEL, SET_TUNNEL_HOSTNAME, settings.Hostname);
    CSettingsStore::WriteInt(batch, SET_TUNNEL, SET_TUNNEL_PORT_NUMBER, settings.TunnelPortNumber);
    CSettingsStore::WriteText(batch, SET_TUNNEL, SET_TUNNEL_LOGIN, settings.Login);
    CSettingsStore::WriteText(batch, SET_TUNNEL, SET_TUNNEL_PASSWORD, settings.Password);
    CSettingsStore::WriteBool(batch, SET_TUNNEL, SET_TUNNEL_HEARTBEAT, settings.HeartBeat);
    CSettingsStore::WriteBool(batch, SET_TUNNEL, SET_TUNNEL_FILTER_TIME_SYNC,
                              settings.FilterTimeSync);
    store.Commit(batch);
}

void UseServerProfile(Settings& settings, const ServerProfile& profile) {
    settings.Hostname = profile.Hostname;
    settings.TunnelPortNumber = profile.PortNumber;
    settings.Login = profile.Login;
    settings.Password = profile.Password;
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
