#include "StringTable.h"

std::string LoadKavlinkString(int id) {
    switch (id) {
    case IDS_SOCKETS_INIT_FAILED:
        return "Windows sockets initialization failed.";
    case IDS_VERSION:
        return kKavlinkVersion;
    case IDS_ALREADY_RUNNING:
        return "Another instance of Kavlink is already running.\n\nIf you want to run several "
               "instances, use the -m or --multi-instance parameter in the command line.";
    case IDS_SERVER_N:
        return "Server %d";
    case IDS_RENAME_NEEDS_SAVE:
        return "You need to create a server by saving it before renaming.";
    case IDS_SET_SERVER_NAME:
        return "Set server name...";
    case IDS_ENTER_NAME_OR_DELETE:
        return "Enter a name  for this server (or empty to delete it)";
    case IDS_CONFIRM_DELETE:
        return "Do you really want to delete this server?";
    case IDS_ENTER_NAME:
        return "Enter a name  for this server:";
    default:
        return {};
    }
}
