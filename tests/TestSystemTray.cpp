#include "CSystemTray.h"
#include "KavlinkCommands.h"
#include "KavlinkIcons.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cstdint>
#include <vector>

namespace {
// A tray whose icon counts as added although the offscreen platform has no tray host.
class TrayUnderTest : public CSystemTray {
public:
    explicit TrayUnderTest(bool trayHost = true) : CSystemTray(nullptr), m_trayHost(trayHost) {
        SetClock([this] { return now * 1'000'000; }); // now in milliseconds
        connect(this, &CSystemTray::commandChosen,
                [this](TrayCommand command) { commands.push_back(command); });
    }
    using CSystemTray::OnActivated;

    // The program's own set-up of its tray.
    bool SetUpLikeTheMainWindow() {
        const bool added = CreateTrayIcon("Kavlink", LoadKavlinkIcon(IDI_MAIN));
        LoadAnimationIcons(IDI_FRAME_FIRST, IDI_FRAME_LAST);
        ChangeDefaultMenuItem(TrayCommand::Options);
        return added;
    }

    std::vector<TrayCommand> commands;
    std::int64_t now = 1'000'000;

protected:
    bool ShowInTray() override { return m_trayHost ? true : CSystemTray::ShowInTray(); }

private:
    bool m_trayHost;
};

QImage Face(const QIcon& icon) {
    return icon.pixmap(16).toImage();
}

// Which of the program's icons the tray shows: 128, 140 to 142, 0 for none, -1 for another.
int Shown(const CSystemTray& tray) {
    const QIcon icon = tray.CurrentIcon();
    if (icon.isNull()) {
        return 0;
    }
    for (int id : {IDI_MAIN, 140, 141, 142}) {
        if (Face(icon) == Face(LoadKavlinkIcon(id))) {
            return id;
        }
    }
    return -1;
}

} // namespace

class TestSystemTray : public QObject {
    Q_OBJECT

private slots:
    void iconArtwork() {
        std::vector<QImage> faces;
        for (int id : {IDI_MAIN, 140, 141, 142}) {
            const QIcon icon = LoadKavlinkIcon(id);
            QVERIFY2(!icon.isNull(), qPrintable(QString::number(id)));
            QCOMPARE(icon.availableSizes(), (QList<QSize>{{16, 16}, {32, 32}}));
            const QImage face = Face(icon);
            QVERIFY2(face.pixel(8, 8) != 0, "the artwork covers the middle");
            for (const QImage& other : faces) {
                QVERIFY2(face != other, "every icon looks different at 16 px");
            }
            faces.push_back(face);
        }
        QVERIFY(LoadKavlinkIcon(134).isNull());
        QVERIFY(LoadKavlinkIcon(-1).isNull());
    }

    void animationCyclesFromTheSecondFrame() {
        TrayUnderTest tray;
        QVERIFY(tray.SetUpLikeTheMainWindow());
        QVERIFY(tray.StartAnimation(800, -1));
        QCOMPARE(Shown(tray), IDI_MAIN);
        for (int expected : {141, 142, 140, 141, 142}) {
            tray.now += 800;
            tray.OnAnimationTimer();
            QCOMPARE(Shown(tray), expected);
        }
        QVERIFY(tray.EndAnimation());
        QCOMPARE(Shown(tray), IDI_MAIN);
        QVERIFY(!tray.EndAnimation());
        QCOMPARE(Shown(tray), IDI_MAIN);
    }

    void restartKeepsTheIconFromBeforeTheFirstStart() {
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        tray.StartAnimation(800, -1);
        tray.OnAnimationTimer();
        tray.OnAnimationTimer();
        QCOMPARE(Shown(tray), 142);
        QVERIFY(tray.StartAnimation(800, -1));
        QCOMPARE(Shown(tray), IDI_MAIN);
        tray.OnAnimationTimer();
        QCOMPARE(Shown(tray), 141);
        QVERIFY(tray.EndAnimation());
        QCOMPARE(Shown(tray), IDI_MAIN);
    }

    void durationLimit_data() {
        QTest::addColumn<int>("limitSeconds");
        QTest::addColumn<int>("elapsedMs");
        QTest::addColumn<bool>("ended");
        QTest::newRow("0 never ends") << 0 << 100'000'000 << false;
        QTest::newRow("-1 never ends") << -1 << 100'000'000 << false;
        QTest::newRow("at the limit") << 2 << 2000 << false;
        QTest::newRow("under half a second past") << 2 << 2499 << false;
        QTest::newRow("half a second past rounds up") << 2 << 2500 << true;
        QTest::newRow("well past") << 2 << 60'000 << true;
    }
    void durationLimit() {
        QFETCH(int, limitSeconds);
        QFETCH(int, elapsedMs);
        QFETCH(bool, ended);
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        tray.StartAnimation(800, limitSeconds);
        tray.now += elapsedMs;
        tray.OnAnimationTimer();
        QCOMPARE(Shown(tray), ended ? IDI_MAIN : 141);
        QCOMPARE(tray.EndAnimation(), !ended);
    }

    void reversedFrameRangeKeepsTheFrames() {
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        QVERIFY(!tray.LoadAnimationIcons(142, 140));
        tray.StartAnimation(800, -1);
        tray.OnAnimationTimer();
        QCOMPARE(Shown(tray), 141);
    }

    void trayMenu_data() {
        QTest::addColumn<TrayCommand>("defaultItem");
        QTest::newRow("options, as the program sets it") << TrayCommand::Options;
        QTest::newRow("about") << TrayCommand::About;
    }
    void trayMenu() {
        QFETCH(TrayCommand, defaultItem);
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        tray.ChangeDefaultMenuItem(defaultItem);
        const QList<QAction*> actions = tray.Menu().actions();
        QCOMPARE(actions.size(), 6);
        const QStringList texts{"&About Kavlink...",          "",     "&Status...", "&Options...",
                                "&Command-line arguments...", "E&xit"};
        for (int i = 0; i < actions.size(); ++i) {
            QCOMPARE(actions[i]->isSeparator(), i == 1);
            QCOMPARE(actions[i]->text(), texts[i]);
        }
        QCOMPARE(tray.Menu().defaultAction(), tray.Action(defaultItem));
    }

    // From the keyboard: each entry's key chooses it, and no two entries share one.
    void menuKeys() {
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        QString keys;
        for (const QAction* action : tray.Menu().actions()) {
            if (action->isSeparator())
                continue;
            const QKeySequence key = QKeySequence::mnemonic(action->text());
            QVERIFY2(!key.isEmpty(), qPrintable(action->text()));
            const QChar letter = QKeySequence(key[0].key()).toString().at(0).toLower();
            QVERIFY2(!keys.contains(letter), qPrintable(action->text()));
            keys += letter;
        }
        QCOMPARE(keys, QString("asocx"));

        tray.Menu().popup(QPoint(0, 0));
        QVERIFY(QTest::qWaitForWindowExposed(&tray.Menu()));
        QTest::keyClick(&tray.Menu(), Qt::Key_X);
        QCOMPARE(tray.commands, std::vector<TrayCommand>{TrayCommand::Exit});
        QVERIFY(!tray.Menu().isVisible());
    }

    // Each entry of the menu, chosen, reaches the main window as its own command.
    void menuChoiceReachesTheMainWindow() {
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        const std::vector<TrayCommand> all{TrayCommand::About, TrayCommand::Status,
                                           TrayCommand::Options, TrayCommand::Usage,
                                           TrayCommand::Exit};
        for (TrayCommand command : all)
            tray.Action(command)->trigger();
        QCOMPARE(tray.commands, all);
    }

    void activations_data() {
        QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
        QTest::addColumn<std::vector<TrayCommand>>("delivered");
        QTest::newRow("double click")
            << QSystemTrayIcon::DoubleClick << std::vector<TrayCommand>{TrayCommand::Options};
        QTest::newRow("single click") << QSystemTrayIcon::Trigger << std::vector<TrayCommand>{};
        QTest::newRow("middle click") << QSystemTrayIcon::MiddleClick << std::vector<TrayCommand>{};
        // The tray host opens the menu itself; nothing is chosen yet.
        QTest::newRow("right click") << QSystemTrayIcon::Context << std::vector<TrayCommand>{};
    }
    void activations() {
        QFETCH(QSystemTrayIcon::ActivationReason, reason);
        QFETCH(std::vector<TrayCommand>, delivered);
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        tray.OnActivated(reason);
        QCOMPARE(tray.commands, delivered);
    }

    void tooltip_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("tail");
        QTest::addColumn<QString>("shown");
        const QString tls = QString::fromUtf8(" \u2013 TLS");
        QTest::newRow("tunnel name") << QByteArray("Kavlink (~K1ABC)") << ""
                                     << "Kavlink (~K1ABC)";
        QTest::newRow("127 kept") << QByteArray(127, 'x') << "" << QString(127, 'x');
        QTest::newRow("255 cut to 127") << QByteArray(255, 'y') << "" << QString(127, 'y');
        QTest::newRow("8-bit text as Latin-1")
            << QByteArray("Kavlink (~\xC5s\xE9)") << "" << QString::fromUtf8("Kavlink (~Åsé)");
        QTest::newRow("ends at NUL") << QByteArray("ab\0cd", 5) << ""
                                     << "ab";
        QTest::newRow("tail after the name")
            << QByteArray("Kavlink (~K1ABC)") << tls << "Kavlink (~K1ABC)" + tls;
        QTest::newRow("a long name gives way to the tail")
            << QByteArray(255, 'y') << tls << QString(127 - tls.size(), 'y') + tls;
        QTest::newRow("tail after NUL") << QByteArray("ab\0cd", 5) << tls << "ab" + tls;
        QTest::newRow("tail alone over 127")
            << QByteArray("ab") << QString(130, 't') << QString(127, 't');
    }
    void tooltip() {
        QFETCH(QByteArray, text);
        QFETCH(QString, tail);
        QFETCH(QString, shown);
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        QVERIFY(tray.ChangeTooltip(text.toStdString(), tail));
        QCOMPARE(tray.Tooltip(), shown);
    }

    // The watch reports a host that comes or goes once, when it happens.
    void trayHostWatch() {
        TrayUnderTest tray;
        tray.SetTrayHostForTest(CSystemTray::Host::Present);
        tray.SetUpLikeTheMainWindow();
        QList<CSystemTray::Host> told;
        connect(&tray, &CSystemTray::trayHostChanged,
                [&](CSystemTray::Host host) { told.append(host); });
        using Host = CSystemTray::Host;
        for (const Host host : {Host::Present, Host::Awaited, Host::Awaited, Host::Present}) {
            tray.SetTrayHostForTest(host);
            tray.CheckTrayHost();
        }
        QCOMPARE(told, (QList<Host>{Host::Awaited, Host::Present}));
    }

    // The panel of a session often starts after Kavlink: the icon is shown all the same and
    // kept current, so that Qt embeds an up-to-date icon once a host appears.
    void withoutATrayHostTheIconWaitsForOne() {
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            QSKIP("a tray host is present");
        }
        TrayUnderTest tray(false);
        QVERIFY(!tray.SetUpLikeTheMainWindow());
        // Headless: nothing to watch for.
        QSignalSpy hostChanges(&tray, &CSystemTray::trayHostChanged);
        tray.CheckTrayHost();
        QCOMPARE(hostChanges.count(), 0);
        QVERIFY(!tray.HostAvailable());
        QCOMPARE(Shown(tray), IDI_MAIN);
        QVERIFY(tray.ChangeTooltip("Kavlink (~K1ABC)"));
        QCOMPARE(tray.Tooltip(), "Kavlink (~K1ABC)");
        tray.StartAnimation(800, -1);
        tray.OnAnimationTimer();
        QCOMPARE(Shown(tray), 141);
        tray.EndAnimation();
        QCOMPARE(Shown(tray), IDI_MAIN);
        tray.OnActivated(QSystemTrayIcon::DoubleClick);
        QCOMPARE(tray.commands, std::vector<TrayCommand>{TrayCommand::Options});
        tray.RemoveTrayIcon();
        QVERIFY(tray.CurrentIcon().isNull());
    }
};

QTEST_MAIN(TestSystemTray)
#include "TestSystemTray.moc"
