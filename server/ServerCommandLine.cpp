#include "ServerCommandLine.h"

#include "PortNumber.h"
#include "StringTable.h"

#include <QCommandLineParser>

#include <functional>

namespace {
ServerCommandLine Failure(const QString& message) {
    ServerCommandLine out;
    out.result = ServerCommandLine::Result::Error;
    out.message = message;
    return out;
}

// ADDRESS:PORT, an IPv6 address in brackets.
bool ReadAddressAndPort(const QString& text, QHostAddress& address, quint16& port) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return false;
    const auto number = ParsePortNumber(text.mid(colon + 1), true);
    if (!number || !address.setAddress(host))
        return false;
    port = *number;
    return true;
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
    const ServerOptions d; // the defaults the help names
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Tunnel server for Kavlink: logs clients in and passes every tunnel line from one "
        "logged-in client to all the others.\n"
        "Users file: one login:password a line; lines starting with # and blank lines are "
        "skipped; a password may be a crypt hash ($y$, $6$, $5$, $2b$, as made by mkpasswd). "
        "It must be a regular file that others cannot write. Send SIGHUP to re-read it.\n"
        "Failed log-ins of a login from an address pause that login from that address, 2 s "
        "doubling up to --guess-delay-max (at most 60 s); other logins from the address are not "
        "slowed, and a success clears the failures. Each login allows 10 password checks at once "
        "and one a second from addresses that have not logged in as it before, the last 6 kept "
        "for networks (/24, IPv6 /48) it has not failed from lately.\n"
        "With --tls-cert and --tls-key it also listens for TLS (1.2 or later) on --tls-port. "
        "SIGHUP reads the certificate and key again for new connections; a bad new pair keeps "
        "the one in use. The log names the certificate's SHA-256 fingerprint.");
    const QCommandLineOption listen("listen", "Address to listen on (default: all).", "ADDRESS");
    const QCommandLineOption port(
        "port", QStringLiteral("TCP port (default %1; 0 picks a free one).").arg(d.port), "N");
    const QCommandLineOption users("users", "File of login:password lines.", "FILE");
    const QCommandLineOption tlsCert(
        "tls-cert", "PEM certificate for the TLS port, its chain after it; re-read on SIGHUP.",
        "FILE");
    const QCommandLineOption tlsKey(
        "tls-key",
        "PEM private key of that certificate (EC or RSA, unencrypted); re-read on SIGHUP.", "FILE");
    const QCommandLineOption tlsPort(
        "tls-port", QStringLiteral("TLS port (default %1; 0 picks a free one).").arg(d.tlsPort),
        "N");
    const QCommandLineOption noPlain("no-plain", "Listen on the TLS port only, not on --port.");
    const QCommandLineOption fingerprint(
        "fingerprint",
        "Print the SHA-256 fingerprint of the certificate in FILE, as Kavlink's TlsFingerprint "
        "takes it, and exit.",
        "FILE");
    const QCommandLineOption anyLogin("allow-any-login",
                                      "Accept every login and password (no users file).");
    const QCommandLineOption heartbeat(
        "heartbeat",
        QStringLiteral("Seconds between heartbeats to each client (default %1, 0 = off).")
            .arg(d.heartbeatMs / 1000),
        "SECONDS");
    const QCommandLineOption statsInterval(
        "stats-interval",
        "Seconds between summary lines in the log (default 0 = none). SIGUSR1 writes the "
        "whole status, one line per client, at any time.",
        "SECONDS");
    const QCommandLineOption verbose("verbose",
                                     "Log every connection, and every line relayed or dropped.");
    const QCommandLineOption backlog(
        "backlog", QStringLiteral("Listen queue length (default %1).").arg(d.listenBacklog), "N");
    const QCommandLineOption maxPending(
        "max-pending",
        QStringLiteral("Connections awaiting log-in, in all; when reached, a newcomer takes the "
                       "place of the oldest of the address holding the most (default %1).")
            .arg(d.maxAwaitingLogin),
        "N");
    const QCommandLineOption maxPendingPerAddress(
        "max-pending-per-address",
        QStringLiteral("Connections awaiting log-in from one address, IPv6 by /64 (default %1).")
            .arg(d.maxAwaitingPerAddress),
        "N");
    const QCommandLineOption connectRate(
        "connects-per-minute",
        QStringLiteral("New connections one address may open per minute; an idle address may "
                       "open this many at once (default %1).")
            .arg(d.connectsPerMinute),
        "N");
    const QCommandLineOption maxSessions(
        "max-sessions-per-login",
        "Sessions of one login at a time; the oldest goes (default 0 = unlimited).", "N");
    const QCommandLineOption guessDelay(
        "guess-delay-max",
        QStringLiteral("Longest pause after failed log-ins, in seconds (default and most %1: "
                       "longer would keep a fixed client out past its own time-out).")
            .arg(d.guessDelayMaxMs / 1000),
        "SECONDS");
    const QCommandLineOption loginTimeout(
        "login-timeout",
        QStringLiteral("Seconds a client has for each log-in answer (default %1).")
            .arg(d.answerTimeoutMs / 1000),
        "SECONDS");
    const QCommandLineOption inputRate(
        "max-input-lines",
        QStringLiteral("Lines a second one client may send, after a burst of five times as many; "
                       "past it the client is not read for a while (default %1, 0 = no limit).")
            .arg(d.inputLinesPerSecond),
        "N");
    const QCommandLineOption clientOutput(
        "max-client-output-kib",
        QStringLiteral("Output waiting for one client before it is dropped, KiB (default %1).")
            .arg(d.maxPendingWrite / 1024),
        "N");
    const QCommandLineOption totalOutput(
        "max-output-mib",
        QStringLiteral("Output waiting for all clients; past it the slowest readers go (default "
                       "%1).")
            .arg(d.maxPendingWriteTotal / (1024 * 1024)),
        "N");
    const QCommandLineOption http(
        "http",
        "Serve a status page (/), metrics for Prometheus (/metrics) and the status as JSON "
        "(/status.json) on this address and port, e.g. 127.0.0.1:10380 behind a reverse proxy "
        "([::1]:10380 for IPv6; port 0 picks a free one). Off by default.",
        "ADDRESS:PORT");
    parser.addOptions({listen,        port,        tlsCert,    tlsKey,       tlsPort,
                       noPlain,       fingerprint, users,      anyLogin,     heartbeat,
                       statsInterval, verbose,     backlog,    maxPending,   maxPendingPerAddress,
                       connectRate,   maxSessions, guessDelay, loginTimeout, inputRate,
                       clientOutput,  totalOutput, http});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version({"v", "version"}, "Displays version information.");
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
    if (parser.isSet(fingerprint)) {
        if (parser.value(fingerprint).isEmpty())
            return Failure(QStringLiteral("--fingerprint needs a file name"));
        out.result = ServerCommandLine::Result::Fingerprint;
        out.message = parser.value(fingerprint);
        return out;
    }
    ServerOptions& options = out.options;
    if (parser.isSet(listen) && !options.listenAddress.setAddress(parser.value(listen)))
        return Failure(QStringLiteral("not an address: %1").arg(parser.value(listen)));
    if (parser.isSet(http)) {
        if (!ReadAddressAndPort(parser.value(http), options.httpAddress, options.httpPort))
            return Failure(QStringLiteral("--http wants ADDRESS:PORT: %1").arg(parser.value(http)));
        options.http = true;
    }
    int number = 0;
    if (parser.isSet(port)) {
        const auto value = ParsePortNumber(parser.value(port), true);
        if (!value)
            return Failure(QStringLiteral("not a port number: %1").arg(parser.value(port)));
        options.port = *value;
    }
    if (parser.isSet(tlsPort)) {
        const auto value = ParsePortNumber(parser.value(tlsPort), true);
        if (!value)
            return Failure(QStringLiteral("not a port number: %1").arg(parser.value(tlsPort)));
        options.tlsPort = *value;
    }
    if (parser.isSet(heartbeat)) {
        if (!ReadNumber(parser.value(heartbeat), 0, 86400, number))
            return Failure(
                QStringLiteral("not a number of seconds: %1").arg(parser.value(heartbeat)));
        options.heartbeatMs = number * 1000;
    }
    if (parser.isSet(statsInterval)) {
        if (!ReadNumber(parser.value(statsInterval), 0, 86400, number))
            return Failure(
                QStringLiteral("not a number of seconds: %1").arg(parser.value(statsInterval)));
        options.statsIntervalMs = number * 1000;
    }
    struct Limit {
        const QCommandLineOption& option;
        int low;
        int high;
        std::function<void(int)> set;
    };
    const Limit limits[] = {
        {backlog, 1, 65535, [&](int n) { options.listenBacklog = n; }},
        {maxPending, 1, 1000000, [&](int n) { options.maxAwaitingLogin = n; }},
        {maxPendingPerAddress, 1, 1000000, [&](int n) { options.maxAwaitingPerAddress = n; }},
        {connectRate, 1, 1000000, [&](int n) { options.connectsPerMinute = n; }},
        {maxSessions, 0, 1000000, [&](int n) { options.maxSessionsPerLogin = n; }},
        {guessDelay, 2, 86400, [&](int n) { options.guessDelayMaxMs = qint64(n) * 1000; }},
        {loginTimeout, 1, 3600, [&](int n) { options.answerTimeoutMs = n * 1000; }},
        {inputRate, 0, 1000000,
         [&](int n) {
             options.inputLinesPerSecond = n;
             options.inputBurstLines = 5 * n;
         }},
        {clientOutput, 16, 1048576, [&](int n) { options.maxPendingWrite = qint64(n) * 1024; }},
        {totalOutput, 1, 1048576,
         [&](int n) { options.maxPendingWriteTotal = qint64(n) * 1024 * 1024; }},
    };
    for (const Limit& limit : limits) {
        if (!parser.isSet(limit.option))
            continue;
        if (!ReadNumber(parser.value(limit.option), limit.low, limit.high, number))
            return Failure(QStringLiteral("--%1 wants a number from %2 to %3: %4")
                               .arg(limit.option.names().first())
                               .arg(limit.low)
                               .arg(limit.high)
                               .arg(parser.value(limit.option)));
        limit.set(number);
    }
    options.usersFile = parser.value(users);
    options.allowAnyLogin = parser.isSet(anyLogin);
    options.verbose = parser.isSet(verbose);
    if (parser.isSet(users) && options.usersFile.isEmpty())
        return Failure(QStringLiteral("--users needs a file name"));
    for (const QCommandLineOption* file : {&tlsCert, &tlsKey}) {
        if (parser.isSet(*file) && parser.value(*file).isEmpty())
            return Failure(QStringLiteral("--%1 needs a file name").arg(file->names().first()));
    }
    options.tlsCertificateFile = parser.value(tlsCert);
    options.tlsKeyFile = parser.value(tlsKey);
    options.plain = !parser.isSet(noPlain);
    if (options.tlsCertificateFile.isEmpty() != options.tlsKeyFile.isEmpty())
        return Failure(QStringLiteral("--tls-cert and --tls-key go together"));
    for (const QCommandLineOption* tlsOnly : {&tlsPort, &noPlain}) {
        if (!options.Tls() && parser.isSet(*tlsOnly))
            return Failure(QStringLiteral("--%1 needs --tls-cert and --tls-key")
                               .arg(tlsOnly->names().first()));
    }
    if (options.Tls() && options.plain && options.port != 0 && options.port == options.tlsPort)
        return Failure(QStringLiteral("--port and --tls-port are both %1").arg(options.port));
    if (options.usersFile.isEmpty() && !options.allowAnyLogin)
        return Failure(QStringLiteral(
            "no users file: give --users FILE, or --allow-any-login to accept every login"));
    if (!options.usersFile.isEmpty() && options.allowAnyLogin)
        return Failure(QStringLiteral("give either --users or --allow-any-login, not both"));
    out.result = ServerCommandLine::Result::Run;
    return out;
}
