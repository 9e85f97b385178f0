// The main window on the offscreen platform: the about panel, its timer, the tray commands
// and the options dialog as the main window runs it.
#include "CGenericStringDlg.h"
#include "CInstanceChannel.h"
#include "CKavlinkDlg.h"
#include "CKavlinkMain.h"
#include "CMessageBox.h"
#include "COptionsDlg.h"
#include "CScriptedTunnelServer.h"
#include "CSettingsStore.h"
#include "CStatusDlg.h"
#include "CSystemTray.h"
#include "CTerminationSignals.h"
#include "CTunnelHub.h"
#include "CommandLine.h"
#include "DialogUnits.h"
#include "KavlinkCommands.h"
#include "TestKit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSvgRenderer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>

#include <algorithm>
#include <csignal>
#include <memory>
#include <optional>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A main window on its own ini file; the tunnel points at a loopback port nobody serves.
struct Window {
    // host: the tray host as the test wants it; by default the platform's (none, headless).
    explicit Window(std::optional<CSystemTray::Host> host = {}, const char* hostname = "127.0.0.1",
                    bool tls = false) {
        dir = tempDir.path().toStdString() + "/";
        store.SetIniPath(dir + "Kavlink.ini");
        store.IniWrite("TunnelSrv", "Hostname", hostname);
        if (tls)
            store.IniWrite("TunnelSrv", "Tls", "1");
        store.IniWrite("TunnelSrv", "PortNumber", "1");
        store.IniWrite("Lan", "PortNumber", std::to_string(lanPort.Port()));
        QFile ini(QString::fromStdString(dir + "Kavlink.ini"));
        ini.open(QIODevice::Append);
        ini.write("[General]\nDebug=1\n");
        ini.close();
        dlg = std::make_unique<CKavlinkMain>(store, dir);
        if (host)
            dlg->TrayIcon().SetTrayHostForTest(host);
        dlg->Start();
        dlg->Panel().show();
    }
    QString Log() {
        QFile f(QString::fromStdString(dir + "Kavlink.log"));
        f.open(QIODevice::ReadOnly);
        return QString::fromLatin1(f.readAll());
    }

    QTemporaryDir tempDir;
    CUdpPortLease lanPort;
    std::string dir;
    CSettingsStore store;
    std::unique_ptr<CKavlinkMain> dlg;
};

// A main window started on an ini file as an earlier version or a Windows editor left it, its
// tunnel on a scripted server that records the log-in answers as they arrive.
struct StoredSite {
    StoredSite() {
        server.Listen();
        iniPath = tempDir.filePath("Kavlink.ini");
        store.SetIniPath(iniPath.toStdString());
    }
    void WriteIni(const QByteArray& tunnelLogin, const QByteArray& tunnelPassword,
                  const QByteArray& profileLogin, const QByteArray& profilePassword) {
        const QByteArray port = QByteArray::number(server.Port());
        QFile ini(iniPath);
        ini.open(QIODevice::WriteOnly);
        ini.write("[Lan]\nPortNumber=" + QByteArray::number(lanPort.Port()) +
                  "\n[TunnelSrv]\nHostname=127.0.0.1\nPortNumber=" + port +
                  "\nLogin=" + tunnelLogin + "\nPassword=" + tunnelPassword +
                  "\n[Server1]\nName=" + kProfileName + "\nHostname=127.0.0.1\nPortNumber=" + port +
                  "\nLogin=" + profileLogin + "\nPassword=" + profilePassword + "\n");
    }
    QByteArray Ini() const {
        QFile ini(iniPath);
        return ini.open(QIODevice::ReadOnly) ? ini.readAll() : QByteArray();
    }
    // Starts a main window (with -p when profile is not empty) and waits for its log-in.
    bool Start(const QByteArray& profile = {}) {
        const int before = server.Connections();
        dlg = std::make_unique<CKavlinkMain>(store, tempDir.path().toStdString() + "/");
        if (!profile.isEmpty())
            dlg->SetProfileName(profile.toStdString());
        dlg->Start();
        return QTest::qWaitFor([&] { return server.Connections() > before && server.LoggedIn(); });
    }
    bool Reconnected(int before) {
        return QTest::qWaitFor([&] { return server.Connections() > before && server.LoggedIn(); });
    }

    static inline const QByteArray kProfileName = "K\xC3\xB6ln";
    QTemporaryDir tempDir;
    QString iniPath;
    CUdpPortLease lanPort;
    CScriptedTunnelServer server;
    CSettingsStore store;
    std::unique_ptr<CKavlinkMain> dlg;
};

// What a widget draws of itself at a device pixel ratio, on transparency.
QImage Drawn(QWidget& widget, qreal ratio) {
    QImage image(widget.size() * ratio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    widget.render(&image, {}, {}, QWidget::DrawChildren);
    return image;
}

// The program icon's artwork, drawn straight into side x side pixels.
QImage Artwork(int side) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QSvgRenderer(QStringLiteral(":/icons/128.svg")).render(&painter);
    return image;
}

// The largest difference of a colour channel between two images of one size.
int Difference(const QImage& a, const QImage& b) {
    int most = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            most = std::max({most, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                             std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    }
    return most;
}

// A socket file whose process is gone: bound, never listened on, left behind.
bool LeaveDeadSocket(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() >= qsizetype(sizeof address.sun_path))
        return false;
    std::copy(name.begin(), name.end(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// The panel as a person sees it.
QString PanelState(const CKavlinkDlg& panel) {
    if (!panel.isVisible())
        return "hidden";
    return panel.HasPanelButtons() ? "shown with buttons" : "shown";
}

} // namespace

class TestKavlinkDlg : public QObject {
    Q_OBJECT

private slots:
    void init() { CMessageBox::Reset(); }

    void panelHidesAfterFiveSeconds() {
        Window w;
        QCOMPARE(w.dlg->Panel().windowTitle(), QString("Kavlink"));
        const auto* version = w.dlg->Panel().findChild<QLabel*>("version");
        QVERIFY(version != nullptr);
        QCOMPARE(version->text(), QString("Kavlink version 1.18.0"));
        QVERIFY(w.dlg->Panel().isVisible());
        QVERIFY(w.dlg->Panel().IsHideTimerRunning());
        QCOMPARE(w.dlg->Panel().HideTimerPeriod(), CKavlinkDlg::kHideMs);
        w.dlg->Panel().HideMainWindow(); // the hide timer's tick
        QVERIFY(!w.dlg->Panel().isVisible());
        QVERIFY(!w.dlg->Panel().IsHideTimerRunning());
        QVERIFY(w.Log().contains("Connecting tunnel..."));
        QVERIFY(w.Log().contains("Opening LAN..."));
    }

    void aboutTwiceRestartsTheFiveSeconds() {
        Window w;
        w.dlg->OnCommand(TrayCommand::About);
        QTest::qWait(500);
        const int before = w.dlg->Panel().HideTimerRemaining();
        QVERIFY(before <= CKavlinkDlg::kHideMs - 500);
        w.dlg->OnCommand(TrayCommand::About);
        // Restarted: more left than before, however long the machine took meanwhile.
        QVERIFY(w.dlg->Panel().HideTimerRemaining() > before);
        QVERIFY(w.dlg->Panel().isVisible());
    }

    void exitHidesFirstThenEnds() {
        Window w;
        QSignalSpy exits(&w.dlg->Panel(), &CKavlinkDlg::exitRequested);
        w.dlg->OnCommand(TrayCommand::Exit);
        QVERIFY(!w.dlg->Panel().isVisible());
        QCOMPARE(exits.count(), 0);
        // Escape never ends the program.
        QTest::keyClick(&w.dlg->Panel(), Qt::Key_Escape);
        QCOMPARE(exits.count(), 0);
        w.dlg->OnCommand(TrayCommand::Exit);
        QCOMPARE(exits.count(), 1);
    }

    void escapeAndClickHide() {
        Window w;
        QTest::keyClick(&w.dlg->Panel(), Qt::Key_Escape);
        QVERIFY(!w.dlg->Panel().isVisible());
        w.dlg->Panel().ShowAboutPanel();
        QTest::mouseClick(&w.dlg->Panel(), Qt::LeftButton, {}, QPoint(60, 20));
        QVERIFY(!w.dlg->Panel().isVisible());
    }

    void titleFollowsTunnelName() {
        Window w;
        emit w.dlg->Hub().tunnelNamed("~OP1");
        QCOMPARE(w.dlg->Panel().windowTitle(), QString("Kavlink (~OP1)"));
    }

    void usageBox() {
        Window w;
        CMessageBox::SetNextAnswer(QMessageBox::Ok);
        w.dlg->OnCommand(TrayCommand::Usage);
        QCOMPARE(CMessageBox::LastText(), QString::fromStdString(UsageText()));
        QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Information);
    }

    // The box breaks its line between options only, and shows the usage text as it is.
    void usageBreaksBetweenOptions_data() {
        QTest::addColumn<int>("width");
        QTest::newRow("narrow") << 150;
        QTest::newRow("half") << 350;
        QTest::newRow("wide") << 600;
    }
    void usageBreaksBetweenOptions() {
        QFETCH(int, width);
        const QString usage = QString::fromStdString(UsageText());
        QString shown = CKavlinkMain::UsageShown(UsageText());
        QTextLayout layout(shown, QApplication::font());
        QTextOption wrap;
        wrap.setWrapMode(QTextOption::WordWrap);
        layout.setTextOption(wrap);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
            line.setLineWidth(width);
        layout.endLayout();
        QVERIFY(layout.lineCount() > 1);
        for (int i = 0; i < layout.lineCount(); ++i) {
            const QString line =
                shown.mid(layout.lineAt(i).textStart(), layout.lineAt(i).textLength());
            QVERIFY2(line.startsWith(i == 0 ? "Kavlink[.exe]" : "["), qPrintable(line));
        }
        // It reads as the usage text itself.
        QCOMPARE(shown.remove(QChar(0x2060)).replace(QChar(0x00A0), QLatin1Char(' ')), usage);
    }

    // The about panel, its texts and buttons take the desktop's font and grow with it.
    void panelFollowsTheDesktopFont() {
        const QFont desktop = QApplication::font();
        QFont large = desktop;
        large.setPointSize(14);
        QApplication::setFont(large);
        {
            Window w(CSystemTray::Host::Awaited);
            const DialogUnits units(large);
            QCOMPARE(w.dlg->Panel().font(), large);
            QCOMPARE(w.dlg->Panel().size(), units.ToPixels(QSize(222, 75)));
            QCOMPARE(w.dlg->Panel().findChild<QLabel*>("version")->font().pixelSize(), units.Y(11));
            for (const QLabel* label : w.dlg->Panel().findChildren<QLabel*>())
                QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->text()));

            // The icon fills the square of its place and is drawn from its artwork at the
            // screen's resolution: past the largest bitmap, and at twice the pixels as sharp
            // as the artwork itself.
            auto* icon = w.dlg->Panel().findChild<QWidget*>("icon");
            QVERIFY(icon != nullptr);
            QCOMPARE(icon->geometry(), units.ToPixels(QRect(7, 14, 20, 20)));
            const int side = std::min(icon->width(), icon->height());
            QVERIFY2(side > 32, qPrintable(QString::number(side)));
            for (const int ratio : {1, 2}) {
                const QImage drawn =
                    Drawn(*icon, ratio)
                        .copy((icon->width() - side) / 2 * ratio,
                              (icon->height() - side) / 2 * ratio, side * ratio, side * ratio);
                QVERIFY2(Difference(drawn, Artwork(side * ratio)) <= 8,
                         qPrintable(QString("at %1x").arg(ratio)));
            }
        }
        QApplication::setFont(desktop);
    }

    // Without a tray host the panel stays, with buttons for Options, Status and Exit, until a
    // host appears; then it is the plain panel again and hides.
    void panelWithoutTrayHost() {
        Window w(CSystemTray::Host::Awaited);
        const DialogUnits units(w.dlg->Panel().font());
        QVERIFY(w.dlg->Panel().HasPanelButtons());
        QCOMPARE(w.dlg->Panel().size(), units.ToPixels(QSize(222, 75)));
        QVERIFY(!w.dlg->Panel().findChild<QLabel*>("credit")->text().contains("tray icon"));
        w.dlg->Panel().HideMainWindow(); // the hide timer's tick
        QTest::keyClick(&w.dlg->Panel(), Qt::Key_Escape);
        QTest::mouseClick(&w.dlg->Panel(), Qt::LeftButton, {}, QPoint(60, 20));
        QVERIFY(w.dlg->Panel().isVisible());
        QVERIFY(w.dlg->Panel().IsHideTimerRunning());

        int optionsOpened = 0;
        COptionsDlg::SetNextScript([&](COptionsDlg& options) {
            ++optionsOpened;
            options.reject();
        });
        w.dlg->Panel().findChild<QPushButton*>("options")->click();
        QCOMPARE(optionsOpened, 1);
        w.dlg->Panel().findChild<QPushButton*>("status")->click();
        QVERIFY(w.dlg->OpenStatusWindow() && w.dlg->OpenStatusWindow()->isVisible());
        QSignalSpy exits(&w.dlg->Panel(), &CKavlinkDlg::exitRequested);
        w.dlg->Panel().findChild<QPushButton*>("exit")->click();
        QCOMPARE(exits.count(), 1);

        w.dlg->TrayIcon().SetTrayHostForTest(CSystemTray::Host::Present);
        w.dlg->Panel().HideMainWindow(); // the hide timer's tick
        QVERIFY(!w.dlg->Panel().isVisible());
        QVERIFY(!w.dlg->Panel().HasPanelButtons());
        QCOMPARE(w.dlg->Panel().size(), units.ToPixels(QSize(222, 54)));
        QVERIFY(w.dlg->Panel().findChild<QLabel*>("credit")->text().contains("tray icon"));
    }

    // The panel and the tray host's comings and goings: without a host the panel stays, with
    // buttons for the tray menu; a host that goes brings it back so; a host that comes (again)
    // lets it hide at its next tick.
    void panelFollowsTheTrayHost_data() {
        QTest::addColumn<int>("host");
        QTest::addColumn<QStringList>("steps"); // "event -> panel after it"
        using Host = CSystemTray::Host;
        QTest::newRow("host at start") << int(Host::Present)
                                       << QStringList{"start -> shown", "tick -> hidden",
                                                      "about -> shown", "escape -> hidden"};
        QTest::newRow("host after start")
            << int(Host::Awaited)
            << QStringList{"start -> shown with buttons", "tick -> shown with buttons",
                           "escape -> shown with buttons", "back -> shown", "tick -> hidden"};
        QTest::newRow("host lost while hidden, then back")
            << int(Host::Present)
            << QStringList{"start -> shown",
                           "tick -> hidden",
                           "lost -> shown with buttons",
                           "tick -> shown with buttons",
                           "click -> shown with buttons",
                           "back -> shown",
                           "tick -> hidden",
                           "about -> shown"};
        QTest::newRow("host lost while the panel shows")
            << int(Host::Present)
            << QStringList{"start -> shown", "lost -> shown with buttons",
                           "tick -> shown with buttons", "back -> shown", "tick -> hidden"};
        QTest::newRow("host lost twice")
            << int(Host::Present)
            << QStringList{"start -> shown", "tick -> hidden", "lost -> shown with buttons",
                           "back -> shown",  "tick -> hidden", "lost -> shown with buttons"};
        QTest::newRow("host back before the panel's tick")
            << int(Host::Present)
            << QStringList{"start -> shown", "tick -> hidden", "lost -> shown with buttons",
                           "back -> shown",  "about -> shown", "tick -> hidden"};
        QTest::newRow("headless") << int(Host::Headless)
                                  << QStringList{"start -> shown", "tick -> hidden",
                                                 "about -> shown", "tick -> hidden"};
    }
    void panelFollowsTheTrayHost() {
        QFETCH(int, host);
        QFETCH(QStringList, steps);
        Window w{CSystemTray::Host(host)};
        CKavlinkDlg& panel = w.dlg->Panel();
        CSystemTray& tray = w.dlg->TrayIcon();
        const DialogUnits units(panel.font());
        for (const QString& step : steps) {
            const QString event = step.section(" -> ", 0, 0);
            if (event == "tick") {
                panel.HideMainWindow(); // the hide timer's tick
            } else if (event == "lost" || event == "back") {
                tray.SetTrayHostForTest(event == "lost" ? CSystemTray::Host::Awaited
                                                        : CSystemTray::Host::Present);
                tray.CheckTrayHost(); // the host watch's tick
            } else if (event == "about") {
                w.dlg->OnCommand(TrayCommand::About);
            } else if (event == "escape") {
                QTest::keyClick(&panel, Qt::Key_Escape);
            } else if (event == "click") {
                QTest::mouseClick(&panel, Qt::LeftButton, {}, QPoint(60, 20));
            }
            QCOMPARE(PanelState(panel) + " after " + event,
                     step.section(" -> ", 1) + " after " + event);
            // The panel's size and words follow its buttons; the icon stays for a host to show.
            QCOMPARE(panel.size(), units.ToPixels(QSize(222, panel.HasPanelButtons() ? 75 : 54)));
            QCOMPARE(panel.findChild<QLabel*>("credit")->text().contains("tray icon"),
                     !panel.HasPanelButtons());
            if (panel.isVisible())
                QVERIFY(panel.IsHideTimerRunning());
            QVERIFY(!tray.CurrentIcon().isNull());
        }
        QCOMPARE(w.Log().count("Notification area gone"), steps.filter("lost -> ").size());
    }

    // The panel's buttons answer the keys the tray menu gives the same commands.
    void panelButtonKeys() {
        Window w(CSystemTray::Host::Awaited);
        CKavlinkDlg& panel = w.dlg->Panel();
        const std::pair<const char*, TrayCommand> buttons[] = {
            {"options", TrayCommand::Options},
            {"status", TrayCommand::Status},
            {"exit", TrayCommand::Exit},
        };
        for (const auto& [name, command] : buttons) {
            const QString text = panel.findChild<QPushButton*>(name)->text();
            QVERIFY2(!QKeySequence::mnemonic(text).isEmpty(), name);
            QCOMPARE(QKeySequence::mnemonic(text),
                     QKeySequence::mnemonic(w.dlg->TrayIcon().Action(command)->text()));
            QCOMPARE(QString(text).remove('&'),
                     QString(w.dlg->TrayIcon().Action(command)->text()).remove('&'));
        }
        const auto press = [&panel](Qt::Key key) {
            panel.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&panel));
            QTest::keyClick(&panel, key, Qt::AltModifier);
        };
        int optionsOpened = 0;
        COptionsDlg::SetNextScript([&](COptionsDlg& options) {
            ++optionsOpened;
            options.reject();
        });
        // A button's key clicks it a moment later, as a click shows itself.
        press(Qt::Key_O);
        QTRY_COMPARE(optionsOpened, 1);
        press(Qt::Key_S);
        QTRY_VERIFY(w.dlg->OpenStatusWindow() && w.dlg->OpenStatusWindow()->isVisible());
        QSignalSpy exits(&panel, &CKavlinkDlg::exitRequested);
        press(Qt::Key_X);
        QTRY_COMPARE(exits.count(), 1);
    }

    // The tooltip says whether the tunnel is encrypted, after "Kavlink (~NAME)" or "Kavlink",
    // within the tray's 127 characters, and follows the options dialog.
    void tooltipTellsTheEncryption_data() {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QByteArray>("name"); // empty: not named yet
        QTest::addColumn<QString>("tooltip");
        const QString dash = QString::fromUtf8(" \u2013 ");
        QTest::newRow("in clear, not named")
            << false << QByteArray() << "Kavlink" + dash + "not encrypted";
        QTest::newRow("TLS, not named") << true << QByteArray() << "Kavlink" + dash + "TLS";
        QTest::newRow("in clear, named")
            << false << QByteArray("~OP1") << "Kavlink (~OP1)" + dash + "not encrypted";
        QTest::newRow("TLS, named")
            << true << QByteArray("~OP1") << "Kavlink (~OP1)" + dash + "TLS";
        QTest::newRow("a long name gives way")
            << true << "~" + QByteArray(200, 'N')
            << "Kavlink (~" + QString(127 - 10 - 6, 'N') + dash + "TLS";
    }
    void tooltipTellsTheEncryption() {
        QFETCH(bool, tls);
        QFETCH(QByteArray, name);
        QFETCH(QString, tooltip);
        Window w(CSystemTray::Host::Present, "127.0.0.1", tls);
        if (!name.isEmpty())
            emit w.dlg->Hub().tunnelNamed(name.toStdString());
        CSystemTray& tray = w.dlg->TrayIcon();
        QCOMPARE(tray.Tooltip(), tooltip);
        QVERIFY(tray.Tooltip().size() <= 127);

        COptionsDlg::SetNextScript([](COptionsDlg& options) {
            QAbstractButton* box = options.findChild<QAbstractButton*>("tls");
            box->setChecked(!box->isChecked());
            options.findChild<QLineEdit*>("tlsFingerprint")->clear();
            options.accept();
        });
        w.dlg->OnCommand(TrayCommand::Options);
        QCOMPARE(w.dlg->CurrentSettings().Tls != 0, !tls);
        const QString other = tls ? "not encrypted" : "TLS";
        QVERIFY2(tray.Tooltip().endsWith(QString::fromUtf8(" \u2013 ") + other),
                 qPrintable(tray.Tooltip()));
        QVERIFY(tray.Tooltip().startsWith(name.isEmpty() ? "Kavlink" : "Kavlink (~"));
        QVERIFY(tray.Tooltip().size() <= 127);
    }

    // A termination signal ends the program's loop as "Exit" does, whatever is open: the
    // panel waiting for a tray host too, which refuses to close, and a dialog's own loop.
    void terminationEndsTheLoop_data() {
        QTest::addColumn<int>("host");
        QTest::addColumn<bool>("dialogOpen");
        QTest::newRow("panel waiting for a tray host") << int(CSystemTray::Host::Awaited) << false;
        QTest::newRow("panel beside a tray host") << int(CSystemTray::Host::Present) << false;
        QTest::newRow("a dialog open, no tray host") << int(CSystemTray::Host::Awaited) << true;
    }
    void terminationEndsTheLoop() {
        QFETCH(int, host);
        QFETCH(bool, dialogOpen);
        Window w{CSystemTray::Host(host)};
        const CTerminationSignals termination;
        QVERIFY(termination.Installed());
        bool dialogEnded = false;
        QTimer::singleShot(0, &w.dlg->Panel(), [&] {
            if (!dialogOpen) {
                std::raise(SIGTERM);
                return;
            }
            QEventLoop dialog;
            QTimer::singleShot(0, [] { std::raise(SIGTERM); });
            dialog.exec();
            dialogEnded = true;
        });
        // Reached only when the signal failed.
        QTimer guard;
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(10000);
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(dialogEnded, dialogOpen);
    }

    // A second start reaches the running one: its status window comes to the front, where it
    // stays; headless there is nothing to show, and the second start hears so.
    void secondStartShowsTheStatusWindow_data() {
        QTest::addColumn<int>("host");
        QTest::addColumn<CInstanceChannel::Answer>("answer");
        QTest::newRow("tray host")
            << int(CSystemTray::Host::Present) << CInstanceChannel::Answer::Shown;
        QTest::newRow("no tray host")
            << int(CSystemTray::Host::Awaited) << CInstanceChannel::Answer::Shown;
        QTest::newRow("headless") << int(CSystemTray::Host::Headless)
                                  << CInstanceChannel::Answer::Headless;
    }
    void secondStartShowsTheStatusWindow() {
        QFETCH(int, host);
        QFETCH(CInstanceChannel::Answer, answer);
        Window w{CSystemTray::Host(host)};
        const QString path = CInstanceChannel::SocketPath(w.tempDir.path());
        CInstanceChannel channel(path);
        QVERIFY(channel.Listen([&w] { return w.dlg->ShowForSecondStart(); }));
        QCOMPARE(CInstanceChannel::AskToShow(path), answer);
        const bool shown = answer == CInstanceChannel::Answer::Shown;
        QCOMPARE(w.dlg->OpenStatusWindow() != nullptr, shown);
        if (shown)
            QVERIFY(w.dlg->OpenStatusWindow()->isVisible());
        QCOMPARE(w.Log().count("Another start of Kavlink asked for this one"), 1);
    }

    // What a crashed holder left where the socket goes gives no answer, and the next holder
    // of the lock takes its place.
    void channelOverLeftovers_data() {
        QTest::addColumn<QString>("leftover");
        QTest::newRow("nothing") << "";
        QTest::newRow("a dead socket") << "socket";
        QTest::newRow("a plain file") << "file";
    }
    void channelOverLeftovers() {
        QFETCH(QString, leftover);
        QTemporaryDir dir;
        const QString path = CInstanceChannel::SocketPath(dir.path());
        if (leftover == "socket")
            QVERIFY(LeaveDeadSocket(path));
        if (leftover == "file") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QCOMPARE(CInstanceChannel::AskToShow(path, 300), CInstanceChannel::Answer::NoAnswer);
        int asked = 0;
        CInstanceChannel channel(path);
        QVERIFY(channel.Listen([&asked] { return ++asked > 0; }));
        QCOMPARE(CInstanceChannel::AskToShow(path), CInstanceChannel::Answer::Shown);
        QCOMPARE(asked, 1);
    }

    // Callers that say nothing, too much or the wrong thing hold up nobody: the running one
    // answers the next at once and drops the babbling ones.
    void channelServesPastBadCallers() {
        QTemporaryDir dir;
        const QString path = CInstanceChannel::SocketPath(dir.path());
        int asked = 0;
        CInstanceChannel channel(path);
        QVERIFY(channel.Listen([&asked] { return ++asked > 0; }));
        QLocalSocket silent;
        QLocalSocket babbling;
        QLocalSocket wrong;
        for (QLocalSocket* socket : {&silent, &babbling, &wrong}) {
            socket->connectToServer(path);
            QVERIFY(socket->waitForConnected(5000));
        }
        babbling.write(QByteArray(CInstanceChannel::kLongestLine * 4, 'x'));
        wrong.write("hide\nshow\n");
        QElapsedTimer took;
        took.start();
        QCOMPARE(CInstanceChannel::AskToShow(path), CInstanceChannel::Answer::Shown);
        QVERIFY(took.elapsed() < CInstanceChannel::kAnswerMs);
        QCOMPARE(asked, 1);
        QTRY_COMPARE(babbling.state(), QLocalSocket::UnconnectedState);
        QTRY_COMPARE(wrong.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(asked, 1);
    }

    // No tunnel server at first start: the hint fits where Kavlink runs, and a desktop gets
    // one notification beside the icon, once a host shows the icon.
    void firstStartNotice_data() {
        QTest::addColumn<int>("host");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<int>("messages"); // at start
        QTest::newRow("headless") << int(CSystemTray::Host::Headless)
                                  << " (PortNumber too if the server's is not 10368), then start "
                                     "Kavlink again."
                                  << 0;
        QTest::newRow("tray host")
            << int(CSystemTray::Host::Present) << ", or choose Options... in the tray menu." << 1;
        QTest::newRow("tray host later")
            << int(CSystemTray::Host::Awaited) << ", or choose Options... on the about panel." << 0;
    }
    void firstStartNotice() {
        QFETCH(int, host);
        QFETCH(QString, hint);
        QFETCH(int, messages);
        Window w(CSystemTray::Host(host), "");
        const std::string ini = w.dir + "Kavlink.ini";
        w.dlg->NoticeMissingHost(ini);
        QVERIFY2(w.Log().contains("no tunnel server configured: set Hostname (and Login, "
                                  "Password) in section [TunnelSrv] of " +
                                  QString::fromStdString(ini) + hint + "\n"),
                 qPrintable(w.Log()));
        CSystemTray& tray = w.dlg->TrayIcon();
        QCOMPARE(tray.MessagesShown(), messages);
        if (CSystemTray::Host(host) == CSystemTray::Host::Headless)
            return;
        tray.SetTrayHostForTest(CSystemTray::Host::Present);
        for (int i = 0; i < 3; ++i) {
            w.dlg->Panel().ShowAboutPanel();
            w.dlg->Panel().HideMainWindow(); // the hide timer's tick
        }
        QCOMPARE(tray.MessagesShown(), 1);
        QVERIFY(tray.LastMessage().contains("No tunnel server is configured"));
        QVERIFY(tray.LastMessage().contains("Options..."));
    }

    // A server set on the panel before the tray host came leaves nothing to say once it has.
    void firstStartNoticeDroppedOnceAServerIsSet() {
        Window w(CSystemTray::Host::Awaited, "");
        w.dlg->NoticeMissingHost(w.dir + "Kavlink.ini");
        COptionsDlg::SetNextScript([](COptionsDlg& options) {
            options.findChild<QLineEdit*>("tunnelHost")->setText("127.0.0.1");
            options.accept();
        });
        w.dlg->Panel().findChild<QPushButton*>("options")->click();
        QCOMPARE(w.dlg->CurrentSettings().Hostname, std::string("127.0.0.1"));
        CSystemTray& tray = w.dlg->TrayIcon();
        tray.SetTrayHostForTest(CSystemTray::Host::Present);
        w.dlg->Panel().HideMainWindow(); // the hide timer's tick
        QVERIFY(!w.dlg->Panel().isVisible());
        QCOMPARE(tray.MessagesShown(), 0);
    }

    void optionsAcceptedSavesAndReconnects() {
        Window w;
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        int nested = 0;
        COptionsDlg::SetNextScript([&](COptionsDlg& options) {
            // A second "Options..." while open brings this one forward, no second dialog.
            w.dlg->OnCommand(TrayCommand::Options);
            nested = w.dlg->OpenOptionsDialog() == &options ? 1 : 0;
            options.findChild<QLineEdit*>("tunnelPort")
                ->setText(QString::number(server.serverPort()));
            options.accept();
        });
        w.dlg->OnCommand(TrayCommand::Options);
        QCOMPARE(nested, 1);
        QCOMPARE(w.dlg->CurrentSettings().TunnelPortNumber, int(server.serverPort()));
        Settings stored;
        LoadSettings(w.store, stored);
        QCOMPARE(stored.TunnelPortNumber, int(server.serverPort()));
        QVERIFY(server.waitForNewConnection(5000));
        QCOMPARE(w.Log().count("Connecting tunnel..."), 2);
        QCOMPARE(w.Log().count("Opening LAN..."), 2);
    }

    // One status window at a time, live while it shows, copied whole, gone when closed.
    void statusWindow() {
        Window w;
        const auto statusWindows = [] {
            int count = 0;
            for (QWidget* widget : QApplication::topLevelWidgets())
                count += qobject_cast<CStatusDlg*>(widget) != nullptr ? 1 : 0;
            return count;
        };
        w.dlg->OnCommand(TrayCommand::Status);
        const QPointer<CStatusDlg> status = w.dlg->OpenStatusWindow();
        QVERIFY(status && status->isVisible() && !status->isModal());
        w.dlg->OnCommand(TrayCommand::Status);
        QCOMPARE(statusWindows(), 1);
        QVERIFY(status->IsRefreshing());
        QVERIFY(status->Text().startsWith("Kavlink status at "));
        QVERIFY(status->Text().contains("  Server           127.0.0.1 port 1\n"));

        // What the hub does shows at the next refresh.
        w.dlg->Hub().WanStations().AddWanStation("W1");
        QVERIFY(!status->Text().contains("Far stations (1)"));
        status->Refresh();
        QVERIFY(status->Text().contains("Far stations (1)"));

        QTest::mouseClick(status->findChild<QPushButton*>("copy"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), status->Text());

        QTest::keyClick(status, Qt::Key_Escape);
        QTRY_VERIFY(status.isNull());
        QVERIFY(!w.dlg->OpenStatusWindow());
    }

    // The window fits the screen whatever its font, and a refresh leaves the reader's
    // selection and scroll position alone, in a line that changes too.
    void statusWindowFitsAndKeepsTheReader() {
        int tick = 0;
        int lines = 200;
        const auto source = [&tick, &lines] {
            std::string text = "Kavlink status at " + std::to_string(tick) + "\n";
            for (int line = 0; line < lines; ++line)
                text += "line " + std::to_string(line) + " counter " + std::to_string(tick) + "\n";
            return text;
        };
        CStatusDlg status(source);
        status.show();
        QVERIFY(QTest::qWaitForWindowExposed(&status));
        const QRect screen = status.screen()->availableGeometry();
        QVERIFY2(screen.contains(status.frameGeometry()),
                 qPrintable(QString("%1x%2 on %3x%4")
                                .arg(status.frameGeometry().width())
                                .arg(status.frameGeometry().height())
                                .arg(screen.width())
                                .arg(screen.height())));
        auto* text = status.findChild<QPlainTextEdit*>();
        QVERIFY(text->verticalScrollBar()->maximum() > 0);

        QTextCursor selection(text->document()->findBlockByNumber(120));
        selection.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        text->setTextCursor(selection);
        text->verticalScrollBar()->setValue(100);
        while (++tick <= 12)
            status.Refresh();
        QCOMPARE(text->textCursor().selectedText(), QString("line 119 counter 12"));
        QCOMPARE(text->verticalScrollBar()->value(), 100);
        // Lines come and go at the end (far stations).
        for (const int count : {150, 210, 3}) {
            lines = count;
            status.Refresh();
            QCOMPARE(status.Text(), QString::fromStdString(source()));
        }
    }

    // Stored credentials reach the server as the file holds them, whichever way they travel:
    // read at start, through the options dialog's OK, Load and Save as, and with -p. Neither
    // is ever rewritten in the file.
    void storedBytesReachTheWire_data() {
        QTest::addColumn<QByteArray>("login");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QString>("route");
        const QByteArray windows1252Login = "J\x9Argen\x80";
        const QByteArray latin1Password = "caf\xE9";
        const QByteArray utf8Login = "J\xC3\xBCrgen";
        const QByteArray utf8Password = "\xE2\x82\xAC\xC3\xA9";
        for (const QString route : {"OK", "Load", "Save as, then -p", "-p"}) {
            QTest::addRow("Windows-1252 login, Latin-1 password: %s", qPrintable(route))
                << windows1252Login << latin1Password << route;
            QTest::addRow("UTF-8 login and password: %s", qPrintable(route))
                << utf8Login << utf8Password << route;
        }
    }
    void storedBytesReachTheWire() {
        QFETCH(QByteArray, login);
        QFETCH(QByteArray, password);
        QFETCH(QString, route);
        StoredSite site;
        // Load and -p bring the profile's credentials; the others keep the tunnel's own.
        const bool fromProfile = route == "Load" || route == "-p";
        if (fromProfile)
            site.WriteIni("other", "secret", login, password);
        else
            site.WriteIni(login, password, "other", "secret");
        const QByteArray profile = route == "-p" ? StoredSite::kProfileName : QByteArray();
        QVERIFY(site.Start(profile));
        if (route == "-p") {
            QCOMPARE(site.server.Login(), login);
            QCOMPARE(site.server.Password(), password);
            QVERIFY(site.Ini().contains("[TunnelSrv]\nHostname=127.0.0.1\nPortNumber=" +
                                        QByteArray::number(site.server.Port()) +
                                        "\nLogin=" + login + "\nPassword=" + password + "\n"));
            return;
        }
        QCOMPARE(site.server.Login(), fromProfile ? QByteArray("other") : login);

        const QByteArray secondName = "\xC5\x81\xC3\xB3"
                                      "d\xC5\xBA"; // typed in the name dialog
        COptionsDlg::SetNextScript([&](COptionsDlg& options) {
            if (route == "Load") {
                options.LoadServer(1);
            } else if (route == "Save as, then -p") {
                CGenericStringDlg::SetNextAnswer(QDialog::Accepted, QString::fromUtf8(secondName));
                options.SaveServer(2);
                options.reject();
                return;
            }
            options.accept();
        });
        const int before = site.server.Connections();
        site.dlg->OnCommand(TrayCommand::Options);
        if (route == "Save as, then -p") {
            QVERIFY(site.Ini().endsWith(
                "[Server2]\nName=" + secondName +
                "\nHostname=127.0.0.1\nPortNumber=" + QByteArray::number(site.server.Port()) +
                "\nLogin=" + login + "\nPassword=" + password + "\nTls=0\nTlsFingerprint=\n"));
            site.dlg.reset();
            QVERIFY(site.Start(secondName));
        } else {
            QVERIFY(site.Reconnected(before));
        }
        QCOMPARE(site.server.Login(), login);
        QCOMPARE(site.server.Password(), password);
        QVERIFY(
            site.Ini().contains("\nLogin=" + login + "\nPassword=" + password + "\nHeartBeat=0\n"));
    }

    void optionsCancelledChangesNothing() {
        Window w;
        const QString before = w.Log();
        COptionsDlg::SetNextScript([](COptionsDlg& options) {
            options.findChild<QLineEdit*>("tunnelHost")->setText("elsewhere.example");
            options.reject();
        });
        w.dlg->OnCommand(TrayCommand::Options);
        QCOMPARE(w.dlg->CurrentSettings().Hostname, std::string("127.0.0.1"));
        QCOMPARE(w.Log(), before);
    }
};

QTEST_MAIN(TestKavlinkDlg)
#include "TestKavlinkDlg.moc"
