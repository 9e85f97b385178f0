#pragma once

#include "ServerOptions.h"

#include <QString>
#include <QStringList>

// Reads the server's command line. Exit status 2 stands for a bad command line.
struct ServerCommandLine {
    // Help: print message, exit 0. Fingerprint: print that of the certificate file in message.
    enum class Result { Run, Help, Fingerprint, Error };
    Result result = Result::Error;
    ServerOptions options;
    QString message; // the usage or version for Help, the reason for Error
};

ServerCommandLine ParseServerCommandLine(const QStringList& arguments);
