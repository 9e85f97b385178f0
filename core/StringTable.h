#pragma once

#include "Version.h"

#include <string>

// The numbered user-visible texts.
enum StringId {
    IDS_SOCKETS_INIT_FAILED = 103,
    IDS_VERSION = 104,
    IDS_ALREADY_RUNNING = 105,
    IDS_SERVER_N = 106,
    IDS_RENAME_NEEDS_SAVE = 107,
    IDS_SET_SERVER_NAME = 108,
    IDS_ENTER_NAME_OR_DELETE = 109,
    IDS_CONFIRM_DELETE = 110,
    IDS_ENTER_NAME = 111,
};

// The text of a numbered string, or the empty text for an id without one.
std::string LoadKavlinkString(int id);

// The version, from the project's CMake version ("1.18.0").
inline constexpr const char* kKavlinkVersion = KAVLINK_VERSION;
