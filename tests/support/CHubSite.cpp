#include "CHubSite.h"

#include <QTest>

#include <utility>

void ViewRecorder::Watch(CTunnelHub& hub) {
    QObject::connect(&hub, &CTunnelHub::tunnelNamed,
                     [this](const std::string& name) { names.push_back(name); });
    QObject::connect(&hub, &CTunnelHub::tunnelConnected, [this] { animating = 1; });
    QObject::connect(&hub, &CTunnelHub::tunnelEnded, [this] { animating = 0; });
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
    hub = std::make_unique<CTunnelHub>(settings, log, [this] { return now; });
    view.Watch(*hub);
    hub->SetMonotonicClock([this] { return monotonic; });
    hub->SetManualTimers(true);
    hub->SetLanSender([this](const std::string& t) {
        lan.push_back(t);
        return true;
    });
    hub->SetTunnelSendObserver([this](const std::string& t) {
        tunnel.append(t.data(), static_cast<qsizetype>(t.size()));
    });
}

bool CHubSite::Connect(bool logIn) {
    hub->ConnectTunnel();
    if (!server.waitForNewConnection(5000))
        return false;
    peer.reset(server.nextPendingConnection());
    if (!QTest::qWaitFor([this] { return hub->State() == TunnelState::AwaitLogin; }))
        return false;
    if (logIn) {
        Feed("login:");
        Feed("password:");
        Sent(); // the two answers
    }
    return hub->State() == (logIn ? TunnelState::LoggedIn : TunnelState::AwaitLogin);
}

QByteArray CHubSite::Sent() {
    return std::exchange(tunnel, {});
}

QByteArray CHubSite::Wire(qsizetype size) {
    QByteArray out;
    const bool arrived = QTest::qWaitFor([&] {
        out += peer->readAll();
        return out.size() >= size;
    });
    return arrived ? out : QByteArray();
}

QStringList CHubSite::LogLines() {
    return NewLogTexts(QString::fromStdString(CDebugLog::LogFilePath(iniPath, "")), seenLines);
}
