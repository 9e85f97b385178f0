#pragma once

// What the tray menu and the about panel's buttons ask the main window to do.
enum class TrayCommand { About, Status, Options, Usage, Exit };

// Resources: the program icon and the animation frames.
inline constexpr int IDI_MAIN = 128;
inline constexpr int IDI_FRAME_FIRST = 140;
inline constexpr int IDI_FRAME_LAST = 142;
