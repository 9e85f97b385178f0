#include "CSystemTray.h"
#include "KavlinkCommands.h"
#include "KavlinkIcons.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <cstdint>
#include <vector>

namespace {
// A tray whose icon counts as added although the offscreen platform has no tray host.
class TrayUnderTest : public CSystemTray {
public:
    explicit TrayUnderTest(bool trayHost = true)
        : CSystemTray(nullptr, [this](int id) { commands.push_back(id); }), m_trayHost(trayHost) {
        SetClock([this] { return now * 1'000'000; }); // now in milliseconds
    }
    using CSystemTray::BuildTrayMenu;
    using CSystemTray::OnActivated;
    using CSystemTray::Tooltip;

    // The program's own set-up of its tray.
    bool SetUpLikeTheMainWindow() {
        const bool added = CreateTrayIcon("Kavlink", LoadKavlinkIcon(IDI_MAIN), IDR_TRAY_MENU);
        LoadAnimationIcons(IDI_FRAME_FIRST, IDI_FRAME_LAST);
        ChangeDefaultMenuItem(CMD_OPTIONS);
        return added;
    }

    std::vector<int> commands;
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

// Answers the next popup menu as a person would, once it is open. Dropped with the tray, so
// that a menu which never opens cannot leak the answer into a later test.
void AnswerNextMenu(const CSystemTray& tray, int key, int commandId) {
    QTimer::singleShot(0, &tray, [key, commandId] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        for (QAction* action : menu->actions()) {
            if (action->data().toInt() == commandId) {
                menu->setActiveAction(action);
            }
        }
        QTest::keyClick(menu, static_cast<Qt::Key>(key));
    });
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
        QTest::addColumn<unsigned>("defaultItem");
        QTest::newRow("options, as the program sets it") << unsigned(CMD_OPTIONS);
        QTest::newRow("about") << unsigned(CMD_ABOUT);
    }
    void trayMenu() {
        QFETCH(unsigned, defaultItem);
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        QVERIFY(tray.ChangeDefaultMenuItem(defaultItem));
        const std::unique_ptr<QMenu> menu = tray.BuildTrayMenu();
        QVERIFY(menu);
        const QList<QAction*> actions = menu->actions();
        QCOMPARE(actions.size(), 6);
        const QStringList texts{"About Kavlink...",          "",    "Status...", "Options...",
                                "Command-line arguments...", "Exit"};
        const QList<int> ids{CMD_ABOUT, 0, CMD_STATUS, CMD_OPTIONS, CMD_USAGE, IDOK_EXIT};
        for (int i = 0; i < actions.size(); ++i) {
            QCOMPARE(actions[i]->isSeparator(), i == 1);
            QCOMPARE(actions[i]->text(), texts[i]);
            QCOMPARE(actions[i]->data().toInt(), ids[i]);
        }
        QVERIFY(menu->defaultAction());
        QCOMPARE(menu->defaultAction()->data().toUInt(), defaultItem);
    }

    void menuChoiceReachesTheMainWindow_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("commandId");
        QTest::addColumn<std::vector<int>>("delivered");
        QTest::newRow("about") << int(Qt::Key_Return) << CMD_ABOUT << std::vector<int>{CMD_ABOUT};
        QTest::newRow("exit") << int(Qt::Key_Return) << IDOK_EXIT << std::vector<int>{IDOK_EXIT};
        QTest::newRow("dismissed") << int(Qt::Key_Escape) << CMD_USAGE << std::vector<int>{};
    }
    void menuChoiceReachesTheMainWindow() {
        QFETCH(int, key);
        QFETCH(int, commandId);
        QFETCH(std::vector<int>, delivered);
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        AnswerNextMenu(tray, key, commandId);
        QCOMPARE(tray.HandleTrayMessage(IDR_TRAY_MENU, WM_RBUTTONUP), 1L);
        QCOMPARE(tray.commands, delivered);
    }

    void noMenuResource() {
        TrayUnderTest tray;
        tray.CreateTrayIcon("Kavlink", LoadKavlinkIcon(IDI_MAIN), 77);
        QVERIFY(!tray.ChangeDefaultMenuItem(CMD_OPTIONS));
        QVERIFY(!tray.BuildTrayMenu());
        QCOMPARE(tray.HandleTrayMessage(77, WM_RBUTTONUP), 0L);
    }

    void trayMessages_data() {
        QTest::addColumn<quint64>("iconId");
        QTest::addColumn<qint64>("event");
        QTest::addColumn<long>("result");
        QTest::addColumn<std::vector<int>>("delivered");
        QTest::newRow("double click") << quint64(IDR_TRAY_MENU) << qint64(WM_LBUTTONDBLCLK) << 1L
                                      << std::vector<int>{CMD_OPTIONS};
        QTest::newRow("double click, high bits set")
            << quint64(IDR_TRAY_MENU) << qint64(0x7fff0000 | WM_LBUTTONDBLCLK) << 1L
            << std::vector<int>{CMD_OPTIONS};
        QTest::newRow("single click")
            << quint64(IDR_TRAY_MENU) << qint64(WM_LBUTTONUP) << 1L << std::vector<int>{};
        QTest::newRow("mouse move")
            << quint64(IDR_TRAY_MENU) << qint64(0x200) << 1L << std::vector<int>{};
        QTest::newRow("another icon")
            << quint64(IDR_TRAY_MENU + 1) << qint64(WM_LBUTTONDBLCLK) << 0L << std::vector<int>{};
    }
    void trayMessages() {
        QFETCH(quint64, iconId);
        QFETCH(qint64, event);
        QFETCH(long, result);
        QFETCH(std::vector<int>, delivered);
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        QCOMPARE(tray.HandleTrayMessage(iconId, event), result);
        QCOMPARE(tray.commands, delivered);
    }

    void activations_data() {
        QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
        QTest::addColumn<std::vector<int>>("delivered");
        QTest::newRow("double click")
            << QSystemTrayIcon::DoubleClick << std::vector<int>{CMD_OPTIONS};
        QTest::newRow("single click") << QSystemTrayIcon::Trigger << std::vector<int>{};
        QTest::newRow("middle click") << QSystemTrayIcon::MiddleClick << std::vector<int>{};
    }
    void activations() {
        QFETCH(QSystemTrayIcon::ActivationReason, reason);
        QFETCH(std::vector<int>, delivered);
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        tray.OnActivated(reason);
        QCOMPARE(tray.commands, delivered);
    }

    void contextActivationOpensTheMenu() {
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        AnswerNextMenu(tray, Qt::Key_Return, CMD_USAGE);
        tray.OnActivated(QSystemTrayIcon::Context);
        QCOMPARE(tray.commands, std::vector<int>{CMD_USAGE});
    }

    void tooltip_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("tunnel name") << QByteArray("Kavlink (~K1ABC)") << "Kavlink (~K1ABC)";
        QTest::newRow("127 kept") << QByteArray(127, 'x') << QString(127, 'x');
        QTest::newRow("255 cut to 127") << QByteArray(255, 'y') << QString(127, 'y');
        QTest::newRow("8-bit text as Latin-1")
            << QByteArray("Kavlink (~\xC5s\xE9)") << QString::fromUtf8("Kavlink (~Åsé)");
        QTest::newRow("ends at NUL") << QByteArray("ab\0cd", 5) << "ab";
    }
    void tooltip() {
        QFETCH(QByteArray, text);
        QFETCH(QString, shown);
        TrayUnderTest tray;
        tray.SetUpLikeTheMainWindow();
        QVERIFY(tray.ChangeTooltip(text.toStdString()));
        QCOMPARE(tray.Tooltip(), shown);
    }

    // The panel of a session often starts after Kavlink: the icon is shown all the same and
    // kept current, so that Qt embeds an up-to-date icon once a host appears.
    void withoutATrayHostTheIconWaitsForOne() {
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            QSKIP("a tray host is present");
        }
        TrayUnderTest tray(false);
        QVERIFY(!tray.SetUpLikeTheMainWindow());
        QVERIFY(!tray.HostAvailable());
        QCOMPARE(Shown(tray), IDI_MAIN);
        QVERIFY(tray.ChangeTooltip("Kavlink (~K1ABC)"));
        QCOMPARE(tray.Tooltip(), "Kavlink (~K1ABC)");
        tray.StartAnimation(800, -1);
        tray.OnAnimationTimer();
        QCOMPARE(Shown(tray), 141);
        tray.EndAnimation();
        QCOMPARE(Shown(tray), IDI_MAIN);
        QCOMPARE(tray.HandleTrayMessage(IDR_TRAY_MENU, WM_LBUTTONDBLCLK), 1L);
        QCOMPARE(tray.commands, std::vector<int>{CMD_OPTIONS});
        tray.RemoveTrayIcon();
        QVERIFY(tray.CurrentIcon().isNull());
    }
};

QTEST_MAIN(TestSystemTray)
#include "TestSystemTray.moc"
