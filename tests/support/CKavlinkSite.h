#pragma once

#include "CLanStation.h"
#include "TestKit.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// One site for end-to-end tests: the real kavlink binary, headless, with its own data
// directory, ini file and LAN port, and a station socket on that LAN port.
class CKavlinkSite {
public:
    struct Options {
        bool filterTimeSync = false;
        bool tls = false;
        QString tlsFingerprint;
    };

    explicit CKavlinkSite(QString binary);

    bool Start(quint16 tunnelPort, Options options);
    bool Start(quint16 tunnelPort) { return Start(tunnelPort, Options()); }
    bool Stop();
    bool IsRunning() const { return m_process.state() == QProcess::Running; }
    qint64 MsSinceStart() const { return m_started.elapsed(); }
    CLanStation& Lan() { return m_lan; }

    // The debug log as written so far (written through line by line).
    QByteArray Log() const;
    qsizetype LogCount(const QByteArray& text) const { return Log().count(text); }

    static constexpr int kStartMs = 10000;

private:
    bool WriteIni(int lanPort, quint16 tunnelPort, const Options& options);

    QString m_binary;
    QTemporaryDir m_dir;
    QProcess m_process;
    CUdpPortLease m_lanPort;
    CLanStation m_lan;
    QElapsedTimer m_started;
};
