#include "CKavlinkSite.h"

#include "StopProcess.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>

CKavlinkSite::CKavlinkSite(QString binary) : m_binary(std::move(binary)) {}

bool CKavlinkSite::Start(quint16 tunnelPort, Options options) {
    const int lanPort = m_lanPort.Port();
    if (!m_dir.isValid() || lanPort == 0 || !m_lan.Open(lanPort) ||
        !WriteIni(lanPort, tunnelPort, options))
        return false;
    // Private home, config and runtime directories: nothing of the user's desktop is touched.
    const QString root = m_dir.path();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", root + "/home");
    env.insert("XDG_CONFIG_HOME", root + "/config");
    env.insert("XDG_RUNTIME_DIR", root + "/runtime");
    for (const char* sub : {"/home", "/config", "/runtime"})
        QDir().mkpath(root + sub);
    QFile::setPermissions(root + "/runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_started.start();
    m_process.start(m_binary, {"-m", "-a", root + "/site"});
    return m_process.waitForStarted(kStartMs);
}

bool CKavlinkSite::Stop() {
    return StopProcess(m_process, "kavlink");
}

QByteArray CKavlinkSite::Log() const {
    QFile file(m_dir.path() + "/site/cfg/Kavlink.log");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool CKavlinkSite::WriteIni(int lanPort, quint16 tunnelPort, const Options& options) {
    if (!QDir().mkpath(m_dir.path() + "/site/cfg"))
        return false;
    QFile ini(m_dir.path() + "/site/cfg/Kavlink.ini");
    if (!ini.open(QIODevice::WriteOnly))
        return false;
    ini.write(QStringLiteral("[Lan]\nPortNumber=%1\nBroadcastAddress=127.255.255.255\n"
                             "[TunnelSrv]\nHostname=127.0.0.1\nPortNumber=%2\nLogin=site\n"
                             "Password=secret\nHeartBeat=0\nFilterTimeSync=%3\n"
                             "Tls=%4\nTlsFingerprint=%5\n"
                             "[General]\nDebug=3\n")
                  .arg(lanPort)
                  .arg(tunnelPort)
                  .arg(options.filterTimeSync ? 1 : 0)
                  .arg(options.tls ? 1 : 0)
                  .arg(options.tlsFingerprint)
                  .toLatin1());
    return true;
}
