#pragma once

// Commands of the tray menu, as the main window receives them.
inline constexpr int CMD_OPTIONS = 32771;
inline constexpr int CMD_ABOUT = 32773;
inline constexpr int CMD_USAGE = 32775;
inline constexpr int CMD_STATUS = 32777;
inline constexpr int IDOK_EXIT = 1; // "Exit" carries the dialog's OK id

// Resources: the tray menu, the program icon and the animation frames.
inline constexpr unsigned IDR_TRAY_MENU = 134;
inline constexpr int IDI_MAIN = 128;
inline constexpr int IDI_FRAME_FIRST = 140;
inline constexpr int IDI_FRAME_LAST = 142;

// Mouse events of a tray notification, in its low 16 bits. <windows.h> defines them as
// macros with the same values.
#ifndef WM_LBUTTONUP
inline constexpr int WM_LBUTTONUP = 0x202;
inline constexpr int WM_LBUTTONDBLCLK = 0x203;
inline constexpr int WM_RBUTTONUP = 0x205;
#endif
