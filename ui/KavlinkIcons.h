#pragma once

#include <QIcon>

// The program's icons by resource id (IDI_MAIN and the animation frames), rendered from their
// artwork at 16 and 32 px. An id without artwork gives a null icon.
QIcon LoadKavlinkIcon(int id);
