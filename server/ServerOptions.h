#pragma once

#include "Defaults.h"

#include <QHostAddress>
#include <QString>

#include <cstdint>

inline constexpr quint16 kDefaultTlsTunnelPort = 10369;

// How a tunnel server runs. The defaults are the production values; tests shorten the times.
struct ServerOptions {
    QHostAddress listenAddress = QHostAddress::Any;
    quint16 port = kDefaultTunnelPort;
    bool plain = true; // false: the TLS port alone
    // A TLS listener on tlsPort beside the plain one when both files are given; both are read
    // again at a reload.
    QString tlsCertificateFile;
    QString tlsKeyFile;
    quint16 tlsPort = kDefaultTlsTunnelPort;
    QString usersFile;          // empty: none
    bool allowAnyLogin = false; // explicit opt-in for a server without a users file
    int heartbeatMs = 15000;    // 0: no server heartbeats
    bool verbose = false;

    int answerTimeoutMs = 10000; // for each log-in answer; a client answers at once
    int refuseDelayMs = 2000;    // wrong credentials: wait, then close
    int listenBacklog = 1024;
    // Connections not yet logged in, in all (a last resort) and from one address. A whole
    // site behind one NAT address (30 Kavlinks restarting together) gets in at once.
    int maxAwaitingLogin = 1024;
    int maxAwaitingPerAddress = 32;
    int connectsPerMinute = 60;  // per address; also the burst an idle address may open
    int maxSessionsPerLogin = 0; // 0: unlimited; past it the oldest session is closed
    // Failed log-ins pause that login from that address, 2 s doubling up to this; never more
    // than a minute, so a fixed password gets in before the client's own time-out.
    qint64 guessDelayMaxMs = 60000;
    qint64 maxPendingWrite = 1024 * 1024; // a client with more waiting for it is dropped
    qint64 maxPendingWriteTotal = qint64(256) * 1024 * 1024; // past it the slowest go first
    qint64 readBufferBytes = 64 * 1024; // per client, so a fast sender is paced by TCP
    // Lines a logged-in client may send: a burst, then this rate (Kavlink sends at most about
    // 1 000 a second). Past it the client is not read for a while. 0: no limit.
    int inputLinesPerSecond = 2000;
    int inputBurstLines = 10000;
    int acceptRetryMs = 1000;    // after running out of descriptors
    int summaryWindowMs = 60000; // repeated events summed up over this
    int tickMs = 500;            // housekeeping; 0: only when Tick() is called
    int statsIntervalMs = 0;     // one summary line this often; 0: none
    // The status page and metrics on a port of their own; off unless asked for.
    bool http = false;
    QHostAddress httpAddress = QHostAddress::LocalHost;
    quint16 httpPort = 0;

    bool Tls() const { return !tlsCertificateFile.isEmpty(); }
};
