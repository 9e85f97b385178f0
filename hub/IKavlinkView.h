#pragma once

#include <string>

// What the connection and relay logic shows on screen: the window title and tray tooltip,
// and the tray icon animation while the tunnel is connected.
class IKavlinkView {
public:
    virtual ~IKavlinkView() = default;
    // "Kavlink (%s)" with the tunnel name, as title and tooltip.
    virtual void ShowTunnelName(const std::string& tunnelName) = 0;
    virtual void StartConnectionAnimation() = 0;
    virtual void EndConnectionAnimation() = 0;
};
