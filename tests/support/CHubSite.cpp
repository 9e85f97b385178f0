#include "CHubSite.h"

#include "TunnelLine.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>

QByteArray Line(const QByteArray& text) {
    std::string s = text.toStdString();
    EncodeTunnelLine(s);
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

CHubSite::CHubSite(int heartBeat, int filter) {
    const QString dir = tempDir.path();
    settings.Hostname = "127.0.0.1";
    settings.Login = "user";
    settings.Password = "secret";
    settings.HeartBeat = heartBeat;
    settings.FilterTimeSync = filter;
    iniPath = (dir + "/Kavlink.ini").toStdString();
    log.StartDebugLog(3, iniPath, dir.toStdString() + "/");
    server.listen(QHostAddress::LocalHost);
    settings.TunnelPortNumber = server.serverPort();
    hub = std::make_unique<CTunnelHub>(settings, log, &view, [this] { return now; });
    hub->SetMonotonicClock([this] { return monotonic; });
    hub->SetManualTimers(true);
    hub->SetLanSendObserver([this](const std::string& t) { lan.push_back(t); });
}

bool CHubSite::Connect(bool logIn) {
    hub->ConnectTunnel();
    if (!server.waitForNewConnection(5000))
        return false;
    peer.reset(server.nextPendingConnection());
    if (!QTest::qWaitFor([this] { return hub->TunnelStateValue() == CTunnelHub::AwaitLogin; }))
        return false;
    if (logIn) {
        Feed("login:");
        Feed("password:");
        Sent(); // the two answers
    }
    return hub->TunnelStateValue() == (logIn ? CTunnelHub::LoggedIn : CTunnelHub::AwaitLogin);
}

QByteArray CHubSite::Sent() {
    QByteArray out;
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        peer->waitForReadyRead(i == 0 ? 200 : 20);
        const QByteArray more = peer->readAll();
        if (more.isEmpty() && i > 0)
            break;
        out += more;
    }
    return out;
}

QStringList CHubSite::LogLines() {
    QFile f(QString::fromStdString(CDebugLog::LogFilePath(iniPath, "")));
    f.open(QIODevice::ReadOnly);
    QStringList lines;
    int index = 0;
    for (const QByteArray& l : f.readAll().split('\n')) {
        if (index++ >= seenLines && l.size() > 20)
            lines << QString::fromLatin1(l.mid(20));
    }
    seenLines = index - 1;
    return lines;
}
