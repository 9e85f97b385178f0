// kavlink-server: the tunnel server that Kavlink instances of several sites log in to.
#include "CServerTls.h"
#include "CSignalWatcher.h"
#include "CStatusHttp.h"
#include "CTunnelServer.h"
#include "DescriptorLimit.h"
#include "ServerCommandLine.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>

namespace {
void PrintError(const QString& text) {
    std::fprintf(stderr, "kavlink-server: %s\n", qPrintable(text));
}

// The status page beside the server, when --http asks for it; logs where it is.
std::unique_ptr<CStatusHttp> StartStatusPage(CTunnelServer& server, QString* error) {
    const ServerOptions& options = server.Options();
    CStatusHttp::Settings settings;
    settings.address = options.httpAddress;
    settings.port = options.httpPort;
    auto status = std::make_unique<CStatusHttp>(
        settings, [&server](int maxRows) { return server.Snapshot(maxRows); },
        [&server] { return server.Now(); });
    if (!status->Listen(error))
        return nullptr;
    QObject::connect(status.get(), &CStatusHttp::logLine, &server,
                     [&server](const QString& line) { server.Log(line); });
    const QString host = options.httpAddress.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(options.httpAddress.toString())
                             : options.httpAddress.toString();
    server.Log(QStringLiteral("status page on http://%1:%2/ (also /metrics and /status.json)")
                   .arg(host)
                   .arg(status->Port()));
    return status;
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
    if (command.result == ServerCommandLine::Result::Fingerprint) {
        QString error;
        const QString fingerprint = CertificateFileFingerprint(command.message, &error);
        if (fingerprint.isEmpty()) {
            PrintError(error);
            return 1;
        }
        std::printf("%s\n", qPrintable(fingerprint));
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
    std::unique_ptr<CStatusHttp> status;
    if (command.options.http && !(status = StartStatusPage(server, &error))) {
        PrintError(error);
        return 1;
    }
    QObject::connect(&watcher, &CSignalWatcher::reloadRequested, &server,
                     [&server] { server.Reload(); });
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
