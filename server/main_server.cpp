// kavlink-server: the tunnel server that Kavlink instances of several sites log in to.
#include "CSignalWatcher.h"
#include "CTunnelServer.h"
#include "DescriptorLimit.h"
#include "ServerCommandLine.h"

#include <QCoreApplication>

#include <cstdio>

namespace {
void PrintError(const QString& text) {
    std::fprintf(stderr, "kavlink-server: %s\n", qPrintable(text));
}

} // namespace

int main(int argc, char* argv[]) {
    // Qt's own Unix event dispatcher: with glib, arming or disarming one socket notifier walks
    // every socket, which thousands of clients cannot afford.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    const ServerCommandLine command = ParseServerCommandLine(QCoreApplication::arguments());
    if (command.result == ServerCommandLine::Result::Help) {
        std::fputs(qPrintable(command.message), stdout);
        return 0;
    }
    if (command.result == ServerCommandLine::Result::Error) {
        PrintError(command.message);
        PrintError(QStringLiteral("see --help"));
        return 2;
    }
    RaiseDescriptorLimit();

    CSignalWatcher watcher;
    CTunnelServer server(command.options);
    QString error;
    if (!watcher.IsValid()) {
        PrintError(QStringLiteral("cannot watch for signals"));
        return 1;
    }
    if (!server.LoadUsers(&error) || !server.Listen(&error)) {
        PrintError(error);
        return 1;
    }
    QObject::connect(&watcher, &CSignalWatcher::reloadRequested, &server,
                     [&server] { server.ReloadUsers(); });
    QObject::connect(&watcher, &CSignalWatcher::statusRequested, &server, [&server] {
        for (const QString& line : server.StatusLines())
            server.Log(line);
    });
    QObject::connect(&watcher, &CSignalWatcher::terminateRequested, &app, [&server] {
        server.Log(QStringLiteral("stopping"));
        server.Shutdown();
        QCoreApplication::exit(0);
    });
    return QCoreApplication::exec();
}
