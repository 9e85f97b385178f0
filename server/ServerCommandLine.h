#pragma once

#include "ServerOptions.h"

#include <QString>
#include <QStringList>

// Reads the server's command line. Exit status 2 stands for a bad command line.
struct ServerCommandLine {
    enum class Result { Run, Help, Error }; // Help: print message, exit 0
    Result result = Result::Error;
    ServerOptions options;
    QString message; // the usage or version for Help, the reason for Error
};

ServerCommandLine ParseServerCommandLine(const QStringList& arguments);
