#include "ServerCommandLine.h"

#include "StringTable.h"

#include <QCommandLineParser>

namespace {
ServerCommandLine Failure(const QString& message) {
    ServerCommandLine out;
    out.result = ServerCommandLine::Result::Error;
    out.message = message;
    return out;
}

bool ReadNumber(const QString& text, int low, int high, int& value) {
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < low || number > high)
        return false;
    value = number;
    return true;
}
} // namespace

ServerCommandLine ParseServerCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Tunnel server for Kavlink: logs clients in and passes every tunnel line from one "
        "logged-in client to all the others.\n"
        "Users file: one login:password a line; lines starting with # and blank lines are "
        "skipped. Send SIGHUP to re-read it.");
    const QCommandLineOption listen("listen", "Address to listen on (default: all).", "ADDRESS");
    const QCommandLineOption port("port", "TCP port (default 10368; 0 picks a free one).", "N");
    const QCommandLineOption users("users", "File of login:password lines.", "FILE");
    const QCommandLineOption anyLogin("allow-any-login",
                                      "Accept every login and password (no users file).");
    const QCommandLineOption heartbeat(
        "heartbeat", "Seconds between heartbeats to each client (default 15, 0 = off).", "SECONDS");
    const QCommandLineOption verbose("verbose", "Log every line relayed or dropped.");
    parser.addOptions({listen, port, users, anyLogin, heartbeat, verbose});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version("version", "Displays version information.");
    parser.addOption(version);

    if (!parser.parse(arguments))
        return Failure(parser.errorText());
    if (parser.isSet(help)) {
        ServerCommandLine out;
        out.result = ServerCommandLine::Result::Help;
        out.message = parser.helpText();
        return out;
    }
    if (parser.isSet(version)) {
        ServerCommandLine out;
        out.result = ServerCommandLine::Result::Help;
        out.message = QStringLiteral("kavlink-server %1\n").arg(QLatin1String(kKavlinkVersion));
        return out;
    }
    if (!parser.positionalArguments().isEmpty())
        return Failure(
            QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    ServerCommandLine out;
    ServerOptions& options = out.options;
    if (parser.isSet(listen) && !options.listenAddress.setAddress(parser.value(listen)))
        return Failure(QStringLiteral("not an address: %1").arg(parser.value(listen)));
    int number = 0;
    if (parser.isSet(port)) {
        if (!ReadNumber(parser.value(port), 0, 65535, number))
            return Failure(QStringLiteral("not a port number: %1").arg(parser.value(port)));
        options.port = static_cast<quint16>(number);
    }
    if (parser.isSet(heartbeat)) {
        if (!ReadNumber(parser.value(heartbeat), 0, 86400, number))
            return Failure(
                QStringLiteral("not a number of seconds: %1").arg(parser.value(heartbeat)));
        options.heartbeatMs = number * 1000;
    }
    options.usersFile = parser.value(users);
    options.allowAnyLogin = parser.isSet(anyLogin);
    options.verbose = parser.isSet(verbose);
    if (parser.isSet(users) && options.usersFile.isEmpty())
        return Failure(QStringLiteral("--users needs a file name"));
    if (options.usersFile.isEmpty() && !options.allowAnyLogin)
        return Failure(QStringLiteral(
            "no users file: give --users FILE, or --allow-any-login to accept every login"));
    if (!options.usersFile.isEmpty() && options.allowAnyLogin)
        return Failure(QStringLiteral("give either --users or --allow-any-login, not both"));
    out.result = ServerCommandLine::Result::Run;
    return out;
}
