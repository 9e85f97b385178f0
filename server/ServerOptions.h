#pragma once

#include "Defaults.h"

#include <QHostAddress>
#include <QString>

#include <cstdint>

// How a tunnel server runs. The defaults are the production values; tests shorten the times.
struct ServerOptions {
    QHostAddress listenAddress = QHostAddress::Any;
    quint16 port = kDefaultTunnelPort;
    QString usersFile;          // empty: none
    bool allowAnyLogin = false; // explicit opt-in for a server without a users file
    int heartbeatMs = 15000;    // 0: no server heartbeats
    bool verbose = false;

    int answerTimeoutMs = 30000; // for each log-in answer
    int refuseDelayMs = 2000;    // wrong credentials: wait, then close
    int listenBacklog = 1024;
    // Connections not yet logged in, in all (a last resort) and from one address. A whole
    // site behind one NAT address (30 Kavlinks restarting together) gets in at once.
    int maxAwaitingLogin = 1024;
    int maxAwaitingPerAddress = 32;
    int connectsPerMinute = 60;           // per address; also the burst an idle address may open
    int maxSessionsPerLogin = 0;          // 0: unlimited; past it the oldest session is closed
    qint64 guessDelayMaxMs = 300000;      // failed log-ins: 2 s doubling up to this, per address
    qint64 maxPendingWrite = 1024 * 1024; // a client with more waiting for it is dropped
    qint64 maxPendingWriteTotal = qint64(256) * 1024 * 1024; // past it the slowest go first
    qint64 readBufferBytes = 64 * 1024; // per client, so a fast sender is paced by TCP
    int acceptRetryMs = 1000;           // after running out of descriptors
    int summaryWindowMs = 60000;        // repeated events summed up over this
    int tickMs = 500;                   // housekeeping; 0: only when Tick() is called
    int statsIntervalMs = 0;            // one summary line this often; 0: none
};
