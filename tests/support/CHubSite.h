#pragma once

#include "CDebugLog.h"
#include "CTunnelHub.h"
#include "Settings.h"
#include "TestKit.h"

#include <QByteArray>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>
#include <string>
#include <vector>

// What the hub shows, recorded from its signals.
struct ViewRecorder {
    std::vector<std::string> names;
    int animating = 0;
    void Watch(CTunnelHub& hub);
};

// One hub driven directly, with its log, clocks, view and a loopback server socket standing
// for the tunnel: chunks and LAN texts are fed to its handlers, timer ticks called by hand, the
// clocks are plain numbers. What goes into the tunnel is recorded as the socket accepts it, so
// that "nothing was sent" needs no waiting.
class CHubSite {
public:
    explicit CHubSite(int heartBeat = 0, int filter = 0);

    // Connects and, unless told otherwise, logs in.
    bool Connect(bool logIn = true);
    void Feed(const QByteArray& chunk) { hub->OnTunnelData(chunk); }
    void Lan(const QByteArray& text) { hub->OnLanMessage(text); }
    // Everything the hub wrote to the tunnel since the last call.
    QByteArray Sent();
    // The next size bytes as the server end of the tunnel reads them; empty if they never come.
    QByteArray Wire(qsizetype size);
    // The log's messages without their time stamps, and forget them.
    QStringList LogLines();
    // Time passes: both clocks move.
    void Advance(std::int64_t seconds) {
        now += seconds;
        monotonic += seconds * kNanosecondsPerSecond;
    }
    // The monotonic clock in whole seconds, as the hub reads it.
    std::int64_t Second() const { return monotonic / kNanosecondsPerSecond; }

    QTemporaryDir tempDir;
    Settings settings;
    std::string iniPath;
    CDebugLog log;
    ViewRecorder view;
    std::int64_t now = 1'000'000; // calendar seconds
    std::int64_t monotonic = 0;   // nanoseconds
    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
    std::unique_ptr<CTunnelHub> hub;
    std::vector<std::string> lan;
    QByteArray tunnel; // written to the tunnel, not yet taken by Sent()
    int seenLines = 0;
};
