#include "Settings.h"

#include "CSettingsStore.h"

void LoadSettings(const CSettingsStore& store, Settings& settings) {
    store.ReadInt(SET_GENERAL, SET_GENERAL_DEBUG, 0, settings.Debug);
    store.ReadText(SET_LAN, SET_LAN_BROADCAST_ADDRESS, "127.255.255.255",
                   settings.BroadcastAddress);
    store.ReadInt(SET_LAN, SET_LAN_PORT_NUMBER, 9871, settings.LanPortNumber);
    store.ReadText(SET_TUNNEL, SET_TUNNEL_HOSTNAME, {}, settings.Hostname);
    store.ReadInt(SET_TUNNEL, SET_TUNNEL_PORT_NUMBER, kDefaultTunnelPort,
                  settings.TunnelPortNumber);
    store.ReadText(SET_TUNNEL, SET_TUNNEL_LOGIN, {}, settings.Login);
    store.ReadText(SET_TUNNEL, SET_TUNNEL_PASSWORD, {}, settings.Password);
    store.ReadBool(SET_TUNNEL, SET_TUNNEL_HEARTBEAT, 0, settings.HeartBeat);
    store.ReadBool(SET_TUNNEL, SET_TUNNEL_FILTER_TIME_SYNC, 0, settings.FilterTimeSync);
}

// Debug is edited by hand only and never written.
void SaveSettings(const CSettingsStore& store, const Settings& settings) {
    store.WriteText(SET_LAN, SET_LAN_BROADCAST_ADDRESS, settings.BroadcastAddress);
    store.WriteInt(SET_LAN, SET_LAN_PORT_NUMBER, settings.LanPortNumber);
    store.WriteText(SET_TUNNEL, SET_TUNNEL_HOSTNAME, settings.Hostname);
    store.WriteInt(SET_TUNNEL, SET_TUNNEL_PORT_NUMBER, settings.TunnelPortNumber);
    store.WriteText(SET_TUNNEL, SET_TUNNEL_LOGIN, settings.Login);
    store.WriteText(SET_TUNNEL, SET_TUNNEL_PASSWORD, settings.Password);
    store.WriteBool(SET_TUNNEL, SET_TUNNEL_HEARTBEAT, settings.HeartBeat);
    store.WriteBool(SET_TUNNEL, SET_TUNNEL_FILTER_TIME_SYNC, settings.FilterTimeSync);
}

bool ApplyProfile(const CSettingsStore& store, Settings& settings, const std::string& profileName) {
    if (profileName.empty())
        return false;
    for (int n = 1; n <= kServerProfileCount; ++n) {
        if (store.ReadServerName(n) != profileName)
            continue;
        const ServerProfile profile = store.LoadServer(n);
        settings.Hostname = profile.Hostname;
        settings.TunnelPortNumber = profile.PortNumber;
        settings.Login = profile.Login;
        settings.Password = profile.Password;
        // The chosen server stays in effect for later starts without --profile.
        SaveSettings(store, settings);
        return true;
    }
    return false;
}
