#pragma once

// Where the tunnel connection stands, in the order a connection goes through.
enum class TunnelState { Disconnected, Connecting, AwaitLogin, AwaitPassword, LoggedIn };
