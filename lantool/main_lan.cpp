// kavlink-lan: shows whether the logging network's LAN messages reach this computer, and
// sends one message onto it.
#include "CLanTool.h"
#include "CSignalPipe.h"
#include "PortNumber.h"
#include "StringTable.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {
int Fail(const QString& text, int status) {
    std::fprintf(stderr, "kavlink-lan: %s\n", qPrintable(text));
    return status;
}

int RunListen(quint16 port) {
    const CSignalPipe stop(
        {SIGTERM, SIGINT, SIGHUP}, [](int) { QCoreApplication::exit(0); }, SIG_DFL);
    CLanTool tool(stdout);
    QString error;
    if (!tool.Listen(port, &error))
        return Fail(error, 1);
    std::fprintf(stderr, "kavlink-lan: listening on UDP port %u\n", tool.ListenPort());
    return QCoreApplication::exec();
}

int RunSend(const QHostAddress& address, quint16 port, const QString& text) {
    const QByteArray bytes = text.toLatin1();
    if (QString::fromLatin1(bytes) != text)
        return Fail(QStringLiteral("the message has characters outside Latin-1"), 2);
    if (bytes.size() >= 256)
        return Fail(QStringLiteral("the message has %1 bytes; a LAN message has at most 255")
                        .arg(bytes.size()),
                    2);
    QString error;
    return CLanTool::Send(address, port, bytes, &error) ? 0 : Fail(error, 1);
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kKavlinkVersion));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "kavlink-lan listen [--port N]: print every message heard on the LAN port.\n"
        "kavlink-lan send [--port N] [--address A] TEXT: broadcast one message.");
    const QCommandLineOption port(
        "port", QStringLiteral("LAN port (default %1).").arg(CLanTool::kDefaultPort), "N");
    const QCommandLineOption address("address", "Broadcast address (default 127.255.255.255).",
                                     "A");
    parser.addOptions({port, address});
    parser.addPositionalArgument("command", "listen or send");
    parser.addPositionalArgument("text", "The message, for send.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    if (!parser.parse(QCoreApplication::arguments()))
        return Fail(parser.errorText(), 2);
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("kavlink-lan %s\n", kKavlinkVersion);
        return 0;
    }

    quint16 portNumber = CLanTool::kDefaultPort;
    if (parser.isSet(port)) {
        const auto value = ParsePortNumber(parser.value(port), true);
        if (!value)
            return Fail(QStringLiteral("not a port number: %1").arg(parser.value(port)), 2);
        portNumber = *value;
    }
    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    if (command == QLatin1String("listen") && positional.size() == 1 && !parser.isSet(address))
        return RunListen(portNumber);
    if (command == QLatin1String("send") && positional.size() == 2) {
        QHostAddress target(QString::fromLatin1(CLanTool::kDefaultAddress));
        if (parser.isSet(address) && !target.setAddress(parser.value(address)))
            return Fail(QStringLiteral("not an address: %1").arg(parser.value(address)), 2);
        return RunSend(target, portNumber, positional[1]);
    }
    return Fail(QStringLiteral("usage: kavlink-lan listen [--port N] | "
                               "kavlink-lan send [--port N] [--address A] TEXT"),
                2);
}
