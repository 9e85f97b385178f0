#pragma once

#include "CSignalPipe.h"

// Ends the application loop on SIGTERM, SIGINT and SIGHUP (the terminal that started us was
// closed), the way "Exit" does, whatever window is open, so that the tunnel is closed and the
// debug log ended properly.
class CTerminationSignals {
public:
    CTerminationSignals();

    bool Installed() const { return m_pipe.Installed(); }

private:
    CSignalPipe m_pipe;
};
