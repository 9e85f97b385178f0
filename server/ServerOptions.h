#pragma once

#include <QHostAddress>
#include <QString>

#include <cstdint>

// How a tunnel server runs. The defaults are the production values; tests shorten the times.
struct ServerOptions {
    QHostAddress listenAddress = QHostAddress::Any;
    quint16 port = 10368;
    QString usersFile;          // empty: none
    bool allowAnyLogin = false; // explicit opt-in for a server without a users file
    int heartbeatMs = 15000;    // 0: no server heartbeats
    bool verbose = false;

    int answerTimeoutMs = 30000;          // for each log-in answer
    int refuseDelayMs = 2000;             // wrong credentials: wait, then close
    int maxAwaitingLogin = 256;           // connections not yet logged in; more are refused
    qint64 maxPendingWrite = 1024 * 1024; // a client with more waiting for it is dropped
    qint64 readBufferBytes = 64 * 1024;   // per client, so a fast sender is paced by TCP
    int acceptRetryMs = 1000;             // after running out of descriptors
};
