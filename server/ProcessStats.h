#pragma once

#include "ServerSnapshot.h"

// This process's memory, CPU time, descriptors and start from /proc/self: a few small reads
// that never block. Fields stay 0 where /proc is not at hand.
ProcessStats ReadProcessStats();
