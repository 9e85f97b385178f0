#include "CGenericStringDlg.h"
#include "CMessageBox.h"
#include "COptionsDlg.h"
#include "CSettingsStore.h"
#include "DialogUnits.h"
#include "Settings.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QString kTunnelPort = QStringLiteral("Port number (tunnel server): ");
const QString kLanPort = QStringLiteral("Port number (local network): ");
const QString kPositive = QStringLiteral("Please enter a positive integer.");
const QString kBetween = QStringLiteral("Please enter an integer between 1 and 65535.");
const QByteArray kPin = QByteArray(64, 'a');

// A dialog over a real ini file in a temporary directory, with the Shift key under test control.
class Fixture {
    QTemporaryDir m_dir;

public:
    explicit Fixture(const QByteArray& ini = {}) {
        QDir(m_dir.path()).mkpath(QStringLiteral("cfg"));
        if (!ini.isEmpty()) {
            QFile file(IniPath());
            file.open(QIODevice::WriteOnly);
            file.write(ini);
        }
        store = std::make_unique<CSettingsStore>(IniPath().toStdString());
        dlg = std::make_unique<COptionsDlg>(*store);
        dlg->SetModifierQuery(
            [this] { return shift ? Qt::ShiftModifier : Qt::KeyboardModifiers(Qt::NoModifier); });
        dlg->settings.TunnelPortNumber = 10368;
        dlg->settings.LanPortNumber = 9871;
        dlg->settings.BroadcastAddress = "127.255.255.255";
    }

    bool Open() {
        dlg->show();
        dlg->activateWindow();
        return QTest::qWaitForWindowActive(dlg.get());
    }

    template <class T = QWidget> T* Control(const QString& name) const {
        return dlg->findChild<T*>(name);
    }
    QLineEdit* Edit(const QString& name) const { return Control<QLineEdit>(name); }
    QPushButton* Button(const QString& name) const { return Control<QPushButton>(name); }
    void Click(const QString& name) const { Button(name)->click(); }

    QString IniPath() const { return m_dir.filePath(QStringLiteral("cfg/Kavlink.ini")); }
    QString CfgDir() const { return m_dir.filePath(QStringLiteral("cfg")); }
    QByteArray IniBytes() const {
        QFile file(IniPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QString Value(int n, const char* key, const char* def = "<missing>") const {
        std::string out;
        store->IniRead(CSettingsStore::ServerSection(n), key, def, out);
        return QString::fromLatin1(out);
    }
    static QString FocusName() {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    }

    bool shift = false;
    std::unique_ptr<CSettingsStore> store;
    std::unique_ptr<COptionsDlg> dlg;
};

const QByteArray kProfileOne = "[Server1]\nName=One\nHostname=one.example\nPortNumber=1111\n"
                               "Login=l1\nPassword=p1\n";

// A text as it shows: without its mnemonic marks.
QString Shown(QString text) {
    return text.replace(QStringLiteral("&&"), QStringLiteral("\x01"))
        .remove(QLatin1Char('&'))
        .replace(QLatin1Char('\x01'), QLatin1Char('&'));
}

QWidget* FindByText(const QWidget& dialog, const QString& text) {
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (Shown(label->text()) == text) {
            return label;
        }
    }
    for (QGroupBox* group : dialog.findChildren<QGroupBox*>()) {
        if (Shown(group->title()) == text) {
            return group;
        }
    }
    return nullptr;
}

QString TextOf(const QWidget* w) {
    if (const auto* b = qobject_cast<const QAbstractButton*>(w)) {
        return b->text();
    }
    if (const auto* l = qobject_cast<const QLabel*>(w)) {
        return l->text();
    }
    if (const auto* g = qobject_cast<const QGroupBox*>(w)) {
        return g->title();
    }
    return {};
}
} // namespace

class TestOptionsDlg : public QObject {
    Q_OBJECT

private slots:
    void init() {
        CMessageBox::Reset();
        CGenericStringDlg::ResetNextAnswer();
    }

    // Windows' own figures for "MS Shell Dlg" 8 pt at 96 dpi, base units 6 x 13.
    void dialogUnits_data() {
        QTest::addColumn<int>("baseX");
        QTest::addColumn<int>("baseY");
        QTest::addColumn<QRect>("du");
        QTest::addColumn<QRect>("pixels");
        QTest::newRow("options dialog")
            << 6 << 13 << QRect(0, 0, 408, 206) << QRect(0, 0, 612, 335);
        QTest::newRow("OK, halves round up")
            << 6 << 13 << QRect(245, 174, 50, 14) << QRect(368, 283, 75, 23);
        QTest::newRow("prompt of 136") << 6 << 13 << QRect(7, 7, 172, 19) << QRect(11, 11, 258, 31);
        QTest::newRow("y half") << 6 << 13 << QRect(0, 4, 1, 1) << QRect(0, 7, 2, 2);
        QTest::newRow("wider font") << 7 << 16 << QRect(1, 1, 4, 8) << QRect(2, 2, 7, 16);
    }
    void dialogUnits() {
        QFETCH(int, baseX);
        QFETCH(int, baseY);
        QFETCH(QRect, du);
        QFETCH(QRect, pixels);
        QCOMPARE(DialogUnits(baseX, baseY).ToPixels(du), pixels);
    }

    // The dialogs take the desktop's font, whatever its size, and their dialog units with it.
    void desktopFont_data() {
        QTest::addColumn<int>("points");
        for (const int points : {8, 9, 10, 11, 12, 14, 18})
            QTest::newRow(qPrintable(QString("%1 pt").arg(points))) << points;
    }
    void desktopFont() {
        QFETCH(int, points);
        const QFont desktop = QApplication::font();
        QFont font = desktop;
        font.setPointSize(points);
        QApplication::setFont(font);
        QCOMPARE(DialogUnits::DialogFont(), font);
        const DialogUnits units(font);
        const qreal letters = QFontMetricsF(font).horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        QCOMPARE(units.BaseX(), letters / 52);
        QCOMPARE(units.BaseY(), QFontMetrics(font).height());
        {
            Fixture f;
            QCOMPARE(f.dlg->font().pointSize(), points);
            QCOMPARE(f.dlg->size(), units.ToPixels(QSize(408, 206)));
            for (const QLabel* label : f.dlg->findChildren<QLabel*>())
                QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->text()));
            CGenericStringDlg name;
            QCOMPARE(name.font().pointSize(), points);
            QCOMPARE(name.size(), units.ToPixels(QSize(186, 72)));
        }
        QApplication::setFont(desktop);
    }

    // The layout as written, converted with the dialog's own font.
    void controls_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("du");
        QTest::newRow("tunnel host") << "tunnelHost"
                                     << "QLineEdit"
                                     << "" << QRect(100, 20, 87, 12);
        QTest::newRow("password") << "password"
                                  << "QLineEdit"
                                  << "" << QRect(100, 65, 87, 12);
        QTest::newRow("broadcast") << "broadcastAddress"
                                   << "QLineEdit"
                                   << "" << QRect(295, 20, 87, 12);
        QTest::newRow("lan port") << "lanPort"
                                  << "QLineEdit"
                                  << "" << QRect(295, 36, 87, 12);
        QTest::newRow("keep alive")
            << "keepAlive"
            << "QCheckBox"
            << "Keep the tunnel connection alive" << QRect(217, 75, 171, 10);
        QTest::newRow("filter") << "filterTimeSync"
                                << "QCheckBox"
                                << "Filter time sync. related frames" << QRect(217, 105, 183, 10);
        QTest::newRow("OK") << "ok"
                            << "QPushButton"
                            << "OK" << QRect(245, 174, 50, 14);
        QTest::newRow("Cancel") << "cancel"
                                << "QPushButton"
                                << "Cancel" << QRect(307, 174, 50, 14);
        QTest::newRow("load 3") << "load3"
                                << "QPushButton"
                                << "Server 3" << QRect(135, 92, 50, 14);
        QTest::newRow("load 4") << "load4"
                                << "QPushButton"
                                << "Server 4" << QRect(23, 110, 50, 14);
        QTest::newRow("save 1") << "save1"
                                << "QPushButton"
                                << "Server 1" << QRect(23, 150, 50, 14);
        QTest::newRow("save 6") << "save6"
                                << "QPushButton"
                                << "Server 6" << QRect(135, 170, 50, 14);
        QTest::newRow("host label") << ""
                                    << "QLabel"
                                    << "Hostname or IP address:" << QRect(13, 23, 82, 9);
        QTest::newRow("broadcast label") << ""
                                         << "QLabel"
                                         << "Broadcast IP address:" << QRect(218, 23, 72, 9);
        QTest::newRow("note") << ""
                              << "QLabel"
                              << "Useful if there is no Zentrik running in the LAN."
                              << QRect(228, 89, 163, 11);
        QTest::newRow("tunnel group") << ""
                                      << "QGroupBox"
                                      << "Tunnel server information" << QRect(7, 9, 194, 190);
        QTest::newRow("save group") << ""
                                    << "QGroupBox"
                                    << "Save as (shift-click to rename)" << QRect(16, 138, 176, 53);
        QTest::newRow("advanced group") << ""
                                        << "QGroupBox"
                                        << "Advanced settings" << QRect(210, 60, 190, 65);
    }
    void controls() {
        QFETCH(QString, key);
        QFETCH(QString, className);
        QFETCH(QString, text);
        QFETCH(QRect, du);
        Fixture f;
        QVERIFY(f.Open());
        QWidget* w = key.isEmpty() ? FindByText(*f.dlg, text) : f.Control(key);
        QVERIFY(w);
        QVERIFY(w->inherits(className.toLatin1().constData()));
        if (!qobject_cast<QLineEdit*>(w)) {
            QCOMPARE(Shown(TextOf(w)), text);
        }
        QCOMPARE(w->geometry(), DialogUnits(f.dlg->font()).ToPixels(du));
        if (auto* label = qobject_cast<QLabel*>(w)) {
            // Every label's text fits its rectangle in this font.
            QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->text()));
        }
    }

    void frame() {
        Fixture f;
        QVERIFY(f.Open());
        const DialogUnits units(f.dlg->font());
        QCOMPARE(f.dlg->windowTitle(), QStringLiteral("Options..."));
        QCOMPARE(f.dlg->size(), units.ToPixels(QSize(408, 206)));
        QVERIFY(f.Button("ok")->isDefault());
        QCOMPARE(f.Edit("password")->echoMode(), QLineEdit::Normal);
        const QLabel* hostLabel =
            static_cast<QLabel*>(FindByText(*f.dlg, QStringLiteral("Hostname or IP address:")));
        QVERIFY(hostLabel->alignment().testFlag(Qt::AlignRight));

        // No two controls share an Alt key.
        QStringList texts;
        for (const QWidget* w : f.dlg->findChildren<QWidget*>())
            texts << TextOf(w);
        QStringList keys;
        for (const QString& text : texts) {
            const QKeySequence key = QKeySequence::mnemonic(text);
            if (!key.isEmpty()) {
                QVERIFY2(!keys.contains(key.toString()), qPrintable(text));
                keys << key.toString();
            }
        }
        QCOMPARE(keys.size(), 14);
    }

    // Alt and the underlined letter reach every field and press OK and Cancel; a row's key
    // goes to its first button that can act.
    void mnemonics_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("pressed"); // else focused
        QTest::newRow("host") << int(Qt::Key_H) << "tunnelHost" << false;
        QTest::newRow("tunnel port") << int(Qt::Key_P) << "tunnelPort" << false;
        QTest::newRow("login") << int(Qt::Key_L) << "login" << false;
        QTest::newRow("password") << int(Qt::Key_W) << "password" << false;
        QTest::newRow("Load row") << int(Qt::Key_A) << "load2" << false;
        QTest::newRow("Save as row") << int(Qt::Key_V) << "save1" << false;
        QTest::newRow("broadcast") << int(Qt::Key_B) << "broadcastAddress" << false;
        QTest::newRow("LAN port") << int(Qt::Key_N) << "lanPort" << false;
        QTest::newRow("keep alive") << int(Qt::Key_K) << "keepAlive" << false;
        QTest::newRow("filter") << int(Qt::Key_F) << "filterTimeSync" << false;
        QTest::newRow("TLS") << int(Qt::Key_E) << "tls" << false;
        QTest::newRow("pin") << int(Qt::Key_S) << "tlsFingerprint" << false;
        QTest::newRow("OK") << int(Qt::Key_O) << "ok" << true;
        QTest::newRow("Cancel") << int(Qt::Key_C) << "cancel" << true;
    }
    void mnemonics() {
        QFETCH(int, key);
        QFETCH(QString, target);
        QFETCH(bool, pressed);
        Fixture f("[Server2]\nName=Alpha\n");
        QVERIFY(f.Open());
        f.Button("ok")->setFocus(); // no row's field
        QTest::keyClick(f.dlg.get(), Qt::Key(key), Qt::AltModifier);
        if (pressed) {
            // Down now, released into its click a moment later.
            QVERIFY(f.Button(target)->isDown());
            return;
        }
        QCOMPARE(Fixture::FocusName(), target);
    }

    // The profile buttons come after the tunnel fields, Load before Save as; a Load button
    // without a profile is passed over.
    void tabOrderFirstFocusAndHelp() {
        Fixture f("[Server2]\nName=Alpha\n[Server5]\nName=Echo\n");
        QVERIFY(f.Open());
        QCOMPARE(Fixture::FocusName(), QStringLiteral("tunnelHost"));
        QStringList visited;
        for (int i = 0; i < 20; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << Fixture::FocusName();
        }
        QCOMPARE(visited.join(' '),
                 QStringLiteral("tunnelPort login password load2 load5 save1 save2 save3 save4 "
                                "save5 save6 broadcastAddress lanPort keepAlive filterTimeSync "
                                "tls tlsFingerprint ok cancel tunnelHost"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(Fixture::FocusName(), QStringLiteral("cancel"));

        // Space on a profile button does what a click does.
        for (int i = 0; i < 5; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(Fixture::FocusName(), QStringLiteral("load2"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QCOMPARE(Fixture::FocusName(), QStringLiteral("ok"));

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
        QVERIFY(f.dlg->isVisible());
        QCOMPARE(CMessageBox::ShownCount(), 0);
    }

    void profileButtons() {
        Fixture f("[Server2]\nName=Alpha\n[Server5]\nName=R&D\n[Server6]\nHostname=x\n");
        QVERIFY(f.Open());
        const QStringList captions = {"Server 1", "Alpha", "Server 3",
                                      "Server 4", "R&&D",  "Server 6"};
        for (int n = 1; n <= kServerProfileCount; ++n) {
            const std::size_t i = static_cast<std::size_t>(n - 1);
            QPushButton* load = f.Button(COptionsDlg::LoadButtonName(i + 1));
            QPushButton* save = f.Button(COptionsDlg::SaveButtonName(i + 1));
            QCOMPARE(load->text(), captions[n - 1]);
            QCOMPARE(save->text(), captions[n - 1]);
            QCOMPARE(load->isEnabled(), n == 2 || n == 5);
            QVERIFY(save->isEnabled());
            // The whole name, however little of it the button shows.
            const QString name = n == 2 ? "Alpha" : n == 5 ? "R&D" : "";
            QCOMPARE(load->toolTip(), name);
            QCOMPARE(save->toolTip(), name);
            // A click leaves the focus where the user was typing.
            QCOMPARE(load->focusPolicy(), Qt::TabFocus);
            QCOMPARE(save->focusPolicy(), Qt::TabFocus);
        }
    }

    void load_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("port");
        QTest::newRow("with port") << kProfileOne << "1111";
        QTest::newRow("without port key")
            << QByteArray("[Server1]\nName=One\nHostname=one.example\nLogin=l1\nPassword=p1\n")
            << "10368";
    }
    void load() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, port);
        Fixture f(ini);
        QVERIFY(f.Open());
        f.Edit("tunnelHost")->setText("typed.example");
        f.Edit("broadcastAddress")->setText("10.1.2.255");
        f.Edit("lanPort")->setText("5000");
        f.Control<QCheckBox>("keepAlive")->setChecked(true);
        f.Control<QCheckBox>("filterTimeSync")->setChecked(true);

        f.Click("load1");
        QCOMPARE(f.Edit("tunnelHost")->text(), QStringLiteral("one.example"));
        QCOMPARE(f.Edit("tunnelPort")->text(), port);
        QCOMPARE(f.Edit("login")->text(), QStringLiteral("l1"));
        QCOMPARE(f.Edit("password")->text(), QStringLiteral("p1"));
        QCOMPARE(f.Edit("broadcastAddress")->text(), QStringLiteral("10.1.2.255"));
        QCOMPARE(f.Edit("lanPort")->text(), QStringLiteral("5000"));
        QVERIFY(f.Control<QCheckBox>("keepAlive")->isChecked());
        QVERIFY(f.Control<QCheckBox>("filterTimeSync")->isChecked());
        QCOMPARE(Fixture::FocusName(), QStringLiteral("ok"));
        QCOMPARE(f.IniBytes(), ini);
    }

    void saveUnnamed_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("storedName");
        QTest::newRow("cancel") << int(QDialog::Rejected) << "Bravo"
                                << "";
        QTest::newRow("empty") << int(QDialog::Accepted) << ""
                               << "";
        QTest::newRow("blanks") << int(QDialog::Accepted) << "   "
                                << "";
        QTest::newRow("trimmed") << int(QDialog::Accepted) << "  Bravo  "
                                 << "Bravo";
        QTest::newRow("with a blank, kept and told") << int(QDialog::Accepted) << "Club station"
                                                     << "Club station";
    }
    void saveUnnamed() {
        QFETCH(int, answer);
        QFETCH(QString, typed);
        QFETCH(QString, storedName);
        Fixture f;
        QVERIFY(f.Open());
        f.Edit("tunnelHost")->setText("host.example");
        f.Edit("tunnelPort")->setText("4000");
        f.Edit("login")->setText("me");
        f.Edit("password")->setText("secret");
        CGenericStringDlg::SetNextAnswer(QDialog::DialogCode(answer), typed);

        f.Click("save2");
        QCOMPARE(CGenericStringDlg::AskedCount(), 1);
        QCOMPARE(CGenericStringDlg::LastRequest().title, QStringLiteral("Set server name..."));
        QCOMPARE(CGenericStringDlg::LastRequest().prompt,
                 QStringLiteral("Enter a name  for this server:"));
        QCOMPARE(CGenericStringDlg::LastRequest().initialText, QString());
        // -p selects a name up to its first blank: the person is told when naming it.
        QCOMPARE(CMessageBox::ShownCount(), storedName.contains(' ') ? 1 : 0);
        if (storedName.contains(' '))
            QVERIFY(CMessageBox::LastText().contains("\"kavlink -p\" cannot select it"));
        if (storedName.isEmpty()) {
            QVERIFY(!QFile::exists(f.IniPath()));
            QCOMPARE(f.Button("load2")->text(), QStringLiteral("Server 2"));
            return;
        }
        QCOMPARE(f.Value(2, "Name"), storedName);
        QCOMPARE(f.Value(2, "Hostname"), QStringLiteral("host.example"));
        QCOMPARE(f.Value(2, "PortNumber"), QStringLiteral("4000"));
        QCOMPARE(f.Value(2, "Login"), QStringLiteral("me"));
        QCOMPARE(f.Value(2, "Password"), QStringLiteral("secret"));
        QCOMPARE(f.Button("load2")->text(), storedName);
        QVERIFY(f.Button("load2")->isEnabled());
        QCOMPARE(Fixture::FocusName(), QStringLiteral("ok"));
    }

    // A stored profile is overwritten only once the user said so.
    void saveOverNamedProfileAsks_data() {
        QTest::addColumn<int>("answer"); // NoButton: nobody answers
        QTest::newRow("Yes") << int(QMessageBox::Yes);
        QTest::newRow("No") << int(QMessageBox::No);
        QTest::newRow("nobody answers") << int(QMessageBox::NoButton);
    }
    void saveOverNamedProfileAsks() {
        QFETCH(int, answer);
        Fixture f(kProfileOne);
        QVERIFY(f.Open());
        f.Edit("tunnelHost")->setText("new.example");
        f.Edit("tunnelPort")->setText("2222");
        f.Edit("login")->setText("l2");
        f.Edit("password")->setText("");
        if (answer != QMessageBox::NoButton)
            CMessageBox::SetNextAnswer(QMessageBox::StandardButton(answer));
        f.Click("save1");
        QCOMPARE(CGenericStringDlg::AskedCount(), 0);
        QCOMPARE(CMessageBox::ShownCount(), 1);
        QCOMPARE(CMessageBox::LastText(),
                 QStringLiteral("Overwrite the server \"One\" with the values shown?"));
        QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Question);
        QCOMPARE(CMessageBox::LastButtons(), QMessageBox::Yes | QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            QCOMPARE(f.IniBytes(), kProfileOne);
            return;
        }
        QCOMPARE(f.Value(1, "Name"), QStringLiteral("One"));
        QCOMPARE(f.Value(1, "Hostname"), QStringLiteral("new.example"));
        QCOMPARE(f.Value(1, "PortNumber"), QStringLiteral("2222"));
        QCOMPARE(f.Value(1, "Login"), QStringLiteral("l2"));
        QCOMPARE(f.Value(1, "Password"), QString());
    }

    void shiftClickUnnamed() {
        Fixture f(kProfileOne);
        QVERIFY(f.Open());
        f.shift = true;
        f.Click("save2");
        QCOMPARE(CMessageBox::ShownCount(), 1);
        QCOMPARE(CMessageBox::LastText(),
                 QStringLiteral("You need to create a server by saving it before renaming."));
        QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Critical);
        QCOMPARE(CGenericStringDlg::AskedCount(), 0);
        QCOMPARE(f.IniBytes(), kProfileOne);
        QCOMPARE(f.Button("load2")->text(), QStringLiteral("Server 2"));
    }

    void rename_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("boxAnswer");
        QTest::addColumn<QString>("storedName");
        QTest::addColumn<QString>("caption");
        const int none = QMessageBox::NoButton;
        QTest::newRow("new name trimmed")
            << int(QDialog::Accepted) << "  Charlie " << none << "Charlie"
            << "Charlie";
        QTest::newRow("cancel") << int(QDialog::Rejected) << "" << none << "Alpha"
                                << "Alpha";
        QTest::newRow("blanks, then No")
            << int(QDialog::Accepted) << "   " << int(QMessageBox::No) << "Alpha"
            << "Alpha";
        QTest::newRow("empty, then Yes deletes")
            << int(QDialog::Accepted) << "" << int(QMessageBox::Yes) << ""
            << "Server 2";
    }
    void rename() {
        QFETCH(int, answer);
        QFETCH(QString, typed);
        QFETCH(int, boxAnswer);
        QFETCH(QString, storedName);
        QFETCH(QString, caption);
        Fixture f("[Server2]\nName=Alpha\nHostname=alpha.example\n[Server3]\nName=Gamma\n");
        QVERIFY(f.Open());
        CGenericStringDlg::SetNextAnswer(QDialog::DialogCode(answer), typed);
        if (boxAnswer != QMessageBox::NoButton) {
            CMessageBox::SetNextAnswer(QMessageBox::StandardButton(boxAnswer));
        }
        f.shift = true;
        f.Click("save2");

        QCOMPARE(CGenericStringDlg::LastRequest().title, QStringLiteral("Set server name..."));
        QCOMPARE(CGenericStringDlg::LastRequest().prompt,
                 QStringLiteral("Enter a name  for this server (or empty to delete it)"));
        QCOMPARE(CGenericStringDlg::LastRequest().initialText, QStringLiteral("Alpha"));
        QCOMPARE(CMessageBox::ShownCount(), boxAnswer == QMessageBox::NoButton ? 0 : 1);
        if (boxAnswer != QMessageBox::NoButton) {
            QCOMPARE(CMessageBox::LastText(),
                     QStringLiteral("Do you really want to delete this server?"));
            QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Question);
            QCOMPARE(CMessageBox::LastButtons(), QMessageBox::Yes | QMessageBox::No);
        }
        if (storedName.isEmpty()) {
            QVERIFY(!f.IniBytes().contains("[Server2]"));
            QCOMPARE(f.Value(2, "Hostname"), QStringLiteral("<missing>"));
        } else {
            QCOMPARE(f.Value(2, "Name"), storedName);
            QCOMPARE(f.Value(2, "Hostname"), QStringLiteral("alpha.example"));
        }
        QCOMPARE(f.Value(3, "Name"), QStringLiteral("Gamma"));
        QCOMPARE(f.Button("load2")->text(), caption);
        QCOMPARE(f.Button("save2")->text(), caption);
        QCOMPARE(f.Button("load2")->isEnabled(), !storedName.isEmpty());
    }

    // With nobody to answer, the delete question gets No.
    void unansweredDeleteQuestionKeepsProfile() {
        Fixture f("[Server2]\nName=Alpha\n");
        QVERIFY(f.Open());
        CGenericStringDlg::SetNextAnswer(QDialog::Accepted, "");
        f.shift = true;
        f.Click("save2");
        QCOMPARE(CMessageBox::ShownCount(), 1);
        QCOMPARE(f.Value(2, "Name"), QStringLiteral("Alpha"));
    }

    // A port is its field's whole text, white space around it aside: a typo is refused by
    // name, never read as the digits before it.
    void portValidation_data() {
        QTest::addColumn<QString>("tunnelText");
        QTest::addColumn<QString>("lanText");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("tunnelPort");
        const QString lan = "9871";
        const QString tunnelBetween = kTunnelPort + kBetween;
        const QString tunnelPositive = kTunnelPort + kPositive;
        QTest::newRow("zero") << "0" << lan << tunnelBetween << "tunnelPort" << 0;
        QTest::newRow("65536") << "65536" << lan << tunnelBetween << "tunnelPort" << 0;
        QTest::newRow("32-bit wrap is not 1")
            << "4294967297" << lan << tunnelBetween << "tunnelPort" << 0;
        QTest::newRow("10000 digits")
            << QString(10000, '9') << lan << tunnelBetween << "tunnelPort" << 0;
        QTest::newRow("minus one") << "-1" << lan << tunnelPositive << "tunnelPort" << 0;
        QTest::newRow("empty") << "" << lan << tunnelPositive << "tunnelPort" << 0;
        QTest::newRow("only blanks") << "   " << lan << tunnelPositive << "tunnelPort" << 0;
        QTest::newRow("letters") << "abc" << lan << tunnelPositive << "tunnelPort" << 0;
        QTest::newRow("10000 letters")
            << QString(10000, 'a') << lan << tunnelPositive << "tunnelPort" << 0;
        QTest::newRow("letter o for a zero")
            << "1o369" << lan << tunnelPositive << "tunnelPort" << 0;
        QTest::newRow("letter after the digits")
            << "44443x" << lan << tunnelPositive << "tunnelPort" << 0;
        QTest::newRow("blank, digits, junk")
            << " 80x" << lan << tunnelPositive << "tunnelPort" << 0;
        QTest::newRow("blank among the digits")
            << "10 368" << lan << tunnelPositive << "tunnelPort" << 0;
        QTest::newRow("blanks around") << "  80 " << lan << ""
                                       << "" << 80;
        QTest::newRow("tab before digits") << "\t7" << lan << ""
                                           << "" << 7;
        QTest::newRow("highest") << "65535" << lan << ""
                                 << "" << 65535;
        QTest::newRow("lowest") << "1" << lan << ""
                                << "" << 1;
        QTest::newRow("LAN port out of range") << "80"
                                               << "0" << kLanPort + kBetween << "lanPort" << 0;
        QTest::newRow("LAN port with a typo") << "80"
                                              << "987l" << kLanPort + kPositive << "lanPort" << 0;
        QTest::newRow("tunnel port checked first") << "x"
                                                   << "0" << tunnelPositive << "tunnelPort" << 0;
    }
    void portValidation() {
        QFETCH(QString, tunnelText);
        QFETCH(QString, lanText);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        QFETCH(int, tunnelPort);
        Fixture f;
        f.dlg->settings.Hostname = "before";
        QVERIFY(f.Open());
        f.Edit("tunnelHost")->setText("after");
        f.Edit("tunnelPort")->setText(tunnelText);
        f.Edit("lanPort")->setText(lanText);
        f.Click("ok");

        if (message.isEmpty()) {
            QCOMPARE(CMessageBox::ShownCount(), 0);
            QCOMPARE(f.dlg->result(), int(QDialog::Accepted));
            QCOMPARE(f.dlg->settings.TunnelPortNumber, tunnelPort);
            QCOMPARE(f.dlg->settings.Hostname, std::string("after"));
            return;
        }
        QVERIFY(f.dlg->isVisible());
        QCOMPARE(CMessageBox::ShownCount(), 1);
        QCOMPARE(CMessageBox::LastText(), message);
        QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Warning);
        QCOMPARE(Fixture::FocusName(), focus);
        QCOMPARE(f.dlg->settings.TunnelPortNumber, 10368);
        QCOMPARE(f.dlg->settings.Hostname, std::string("before"));
    }

    // An address the LAN cannot be reached at is refused by its field, at OK as at Save as.
    void broadcastAddressChecked_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("valid");
        QTest::newRow("subnet broadcast") << "192.168.1.255"
                                          << "ok" << true;
        QTest::newRow("limited broadcast") << "255.255.255.255"
                                           << "ok" << true;
        QTest::newRow("part past 255") << "192.168.1.300"
                                       << "ok" << false;
        QTest::newRow("three parts") << "192.168.1"
                                     << "ok" << false;
        QTest::newRow("leading zero") << "192.168.010.255"
                                      << "ok" << false;
        QTest::newRow("a name") << "lan"
                                << "ok" << false;
        QTest::newRow("empty") << ""
                               << "ok" << false;
        QTest::newRow("Save as") << "192.168.1.300"
                                 << "save2" << false;
    }
    void broadcastAddressChecked() {
        QFETCH(QString, typed);
        QFETCH(QString, button);
        QFETCH(bool, valid);
        Fixture f;
        QVERIFY(f.Open());
        f.Edit("broadcastAddress")->setText(typed);
        CGenericStringDlg::SetNextAnswer(QDialog::Accepted, "Two");
        f.Click(button);
        if (valid) {
            QCOMPARE(CMessageBox::ShownCount(), 0);
            QCOMPARE(f.dlg->result(), int(QDialog::Accepted));
            QCOMPARE(f.dlg->settings.BroadcastAddress, typed.toStdString());
            return;
        }
        QVERIFY(f.dlg->isVisible());
        QCOMPARE(CMessageBox::ShownCount(), 1);
        QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Warning);
        QVERIFY2(CMessageBox::LastText().startsWith("Broadcast IP address is not an IPv4 address"),
                 qPrintable(CMessageBox::LastText()));
        QCOMPARE(Fixture::FocusName(), QStringLiteral("broadcastAddress"));
        QCOMPARE(f.dlg->settings.BroadcastAddress, std::string("127.255.255.255"));
        QCOMPARE(f.IniBytes(), QByteArray());
    }

    void badPortStopsProfileOperations_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("asksName");
        QTest::newRow("save as named") << QString("save1") << false;
        QTest::newRow("save as unnamed") << QString("save2") << true;
    }
    void badPortStopsProfileOperations() {
        QFETCH(QString, button);
        QFETCH(bool, asksName);
        Fixture f(kProfileOne);
        QVERIFY(f.Open());
        f.Edit("tunnelHost")->setText("typed.example");
        f.Edit("tunnelPort")->setText("0");
        CGenericStringDlg::SetNextAnswer(QDialog::Accepted, "New");
        if (!asksName)
            CMessageBox::SetNextAnswer(QMessageBox::Yes); // overwrite it
        f.Click(button);
        QCOMPARE(CGenericStringDlg::AskedCount(), asksName ? 1 : 0);
        QCOMPARE(CMessageBox::LastText(), kTunnelPort + kBetween);
        QCOMPARE(f.IniBytes(), kProfileOne);
        QCOMPARE(f.Edit("tunnelHost")->text(), QStringLiteral("typed.example"));
        QCOMPARE(Fixture::FocusName(), QStringLiteral("tunnelPort"));
    }

    // Load changes the four tunnel fields (and the TLS fields the profile holds) together or
    // not at all. What the profile replaces is no reason to refuse; a bad field that stays, or
    // a profile without a usable port, is.
    void loadAllOrNothing_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("field"); // spoiled before the load; empty: none
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message"); // its start; empty: loads
        const QByteArray withTls = kProfileOne + "Tls=1\nTlsFingerprint=" + kPin + "\n";
        QTest::newRow("tunnel port out of range") << kProfileOne << "tunnelPort"
                                                  << "0"
                                                  << "";
        QTest::newRow("tunnel port no number") << kProfileOne << "tunnelPort"
                                               << "x"
                                               << "";
        QTest::newRow("bad pin, replaced by the profile's") << withTls << "tlsFingerprint"
                                                            << "xyz"
                                                            << "";
        QTest::newRow("LAN port bad") << kProfileOne << "lanPort"
                                      << "x" << kLanPort + kPositive;
        QTest::newRow("broadcast address bad") << kProfileOne << "broadcastAddress"
                                               << "10.0.0.256"
                                               << "Broadcast IP address is not";
        QTest::newRow("bad pin, kept by a profile saved before TLS")
            << kProfileOne << "tlsFingerprint"
            << "xyz"
            << "Certificate SHA-256 is not";
        const QByteArray head = "[Server1]\nName=One\nHostname=one.example\nLogin=l1\n"
                                "Password=p1\nPortNumber=";
        const QString unusable = "\"One\" was not loaded: its port number is not";
        QTest::newRow("stored port 0") << head + "0\n"
                                       << ""
                                       << "" << unusable;
        QTest::newRow("stored port not a number") << head + "abc\n"
                                                  << ""
                                                  << "" << unusable;
        QTest::newRow("stored port past 65535") << head + "65536\n"
                                                << ""
                                                << "" << unusable;
    }
    void loadAllOrNothing() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, field);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        Fixture f(ini);
        QVERIFY(f.Open());
        const QStringList tunnelFields = {"tunnelHost", "tunnelPort", "login", "password"};
        const QStringList typedTexts = {"typed.example", "4321", "typed", "typed-pw"};
        for (int i = 0; i < tunnelFields.size(); ++i)
            f.Edit(tunnelFields[i])->setText(typedTexts[i]);
        if (!field.isEmpty())
            f.Edit(field)->setText(typed);
        f.Edit("login")->setFocus();
        f.Click("load1");
        QCOMPARE(f.IniBytes(), ini);
        if (message.isEmpty()) {
            QCOMPARE(CMessageBox::ShownCount(), 0);
            const QStringList loaded = {"one.example", "1111", "l1", "p1"};
            for (int i = 0; i < tunnelFields.size(); ++i)
                QCOMPARE(f.Edit(tunnelFields[i])->text(), loaded[i]);
            QCOMPARE(Fixture::FocusName(), QStringLiteral("ok"));
            return;
        }
        QCOMPARE(CMessageBox::ShownCount(), 1);
        QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Warning);
        QVERIFY2(CMessageBox::LastText().startsWith(message), qPrintable(CMessageBox::LastText()));
        for (int i = 0; i < tunnelFields.size(); ++i) {
            QCOMPARE(f.Edit(tunnelFields[i])->text(),
                     tunnelFields[i] == field ? typed : typedTexts[i]);
        }
        if (!field.isEmpty()) {
            QCOMPARE(f.Edit(field)->text(), typed);
            QCOMPARE(Fixture::FocusName(), field);
        }
        QCOMPARE(f.dlg->settings.Hostname, std::string());
    }

    // A profile saved before TLS leaves the TLS fields as they are: loading it never turns an
    // encrypted tunnel into a clear one. A profile that holds them sets them.
    void loadTlsFields_data() {
        QTest::addColumn<QByteArray>("tlsKeys"); // of the profile
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QByteArray>("pin");
        const QByteArray other = QByteArray(64, 'b');
        QTest::newRow("saved before TLS") << QByteArray() << true << kPin;
        QTest::newRow("clear, without a pin")
            << QByteArray("Tls=0\nTlsFingerprint=\n") << false << QByteArray();
        QTest::newRow("its own pin") << "Tls=1\nTlsFingerprint=" + other + "\n" << true << other;
    }
    void loadTlsFields() {
        QFETCH(QByteArray, tlsKeys);
        QFETCH(bool, tls);
        QFETCH(QByteArray, pin);
        Fixture f(kProfileOne + tlsKeys);
        f.dlg->settings.Tls = 1;
        f.dlg->settings.TlsFingerprint = kPin.toStdString();
        f.dlg->settings.TunnelPortNumber = 10369;
        QVERIFY(f.Open());
        f.Click("load1");
        QCOMPARE(CMessageBox::ShownCount(), 0);
        QCOMPARE(f.Edit("tunnelPort")->text(), QStringLiteral("1111"));
        QCOMPARE(f.Control<QCheckBox>("tls")->isChecked(), tls);
        QCOMPARE(f.Edit("tlsFingerprint")->text(), QString::fromLatin1(pin));
        f.Click("ok");
        QCOMPARE(f.dlg->result(), int(QDialog::Accepted));
        QCOMPARE(f.dlg->settings.Tls, tls ? 1 : 0);
        QCOMPARE(QByteArray::fromStdString(f.dlg->settings.TlsFingerprint), pin);
    }

    // Ticking TLS offers the server's TLS port in place of the plain default, and unticking
    // it the other way; a pin entered means TLS. A port set by hand stays.
    void tlsTicksAndPort_data() {
        QTest::addColumn<bool>("tlsBefore");
        QTest::addColumn<QString>("portBefore");
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("tlsAfter");
        QTest::addColumn<QString>("portAfter");
        QTest::newRow("tick at the plain default") << false << "10368"
                                                   << "click" << true << "10369";
        QTest::newRow("tick at a port of one's own") << false << "4000"
                                                     << "click" << true << "4000";
        QTest::newRow("untick at the TLS default") << true << "10369"
                                                   << "click" << false << "10368";
        QTest::newRow("untick at a port of one's own") << true << "10370"
                                                       << "click" << false << "10370";
        QTest::newRow("pin typed, TLS off") << false << "10368"
                                            << "pin" << true << "10369";
        QTest::newRow("pin typed, port of one's own") << false << "5000"
                                                      << "pin" << true << "5000";
        QTest::newRow("pin typed, TLS already on") << true << "10368"
                                                   << "pin" << true << "10368";
        QTest::newRow("blanks typed are no pin") << false << "10368"
                                                 << "blanks" << false << "10368";
    }
    void tlsTicksAndPort() {
        QFETCH(bool, tlsBefore);
        QFETCH(QString, portBefore);
        QFETCH(QString, action);
        QFETCH(bool, tlsAfter);
        QFETCH(QString, portAfter);
        Fixture f;
        f.dlg->settings.Tls = tlsBefore ? 1 : 0;
        QVERIFY(f.Open());
        f.Edit("tunnelPort")->setText(portBefore);
        if (action == "click")
            f.Control<QCheckBox>("tls")->click();
        else
            QTest::keyClicks(f.Edit("tlsFingerprint"),
                             action == "pin" ? QString::fromLatin1(kPin) : "  ");
        QCOMPARE(f.Control<QCheckBox>("tls")->isChecked(), tlsAfter);
        QCOMPARE(f.Edit("tunnelPort")->text(), portAfter);
    }

    // A pin with TLS unticked would go unchecked over a clear tunnel: OK asks first, and only
    // Yes keeps it so.
    void pinWithoutTlsAsks_data() {
        QTest::addColumn<int>("answer"); // NoButton: nobody answers
        QTest::newRow("Yes") << int(QMessageBox::Yes);
        QTest::newRow("No") << int(QMessageBox::No);
        QTest::newRow("nobody answers") << int(QMessageBox::NoButton);
    }
    void pinWithoutTlsAsks() {
        QFETCH(int, answer);
        Fixture f;
        QVERIFY(f.Open());
        QTest::keyClicks(f.Edit("tlsFingerprint"), QString::fromLatin1(kPin));
        f.Control<QCheckBox>("tls")->click();
        QVERIFY(!f.Control<QCheckBox>("tls")->isChecked());
        if (answer != QMessageBox::NoButton)
            CMessageBox::SetNextAnswer(QMessageBox::StandardButton(answer));
        f.Click("ok");
        QCOMPARE(CMessageBox::ShownCount(), 1);
        QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Question);
        QCOMPARE(CMessageBox::LastButtons(), QMessageBox::Yes | QMessageBox::No);
        QVERIFY(CMessageBox::LastText().startsWith(
            "Certificate SHA-256 holds a pin, but Encrypted (TLS) is not ticked"));
        if (answer == QMessageBox::Yes) {
            QCOMPARE(f.dlg->result(), int(QDialog::Accepted));
            QCOMPARE(f.dlg->settings.Tls, 0);
            QCOMPARE(QByteArray::fromStdString(f.dlg->settings.TlsFingerprint), kPin);
            return;
        }
        QVERIFY(f.dlg->isVisible());
        QCOMPARE(Fixture::FocusName(), QStringLiteral("tls"));
        QCOMPARE(f.dlg->settings.TlsFingerprint, std::string());

        // Ticked, it goes through without a question.
        f.Control<QCheckBox>("tls")->click();
        f.Click("ok");
        QCOMPARE(CMessageBox::ShownCount(), 1);
        QCOMPARE(f.dlg->result(), int(QDialog::Accepted));
        QCOMPARE(f.dlg->settings.Tls, 1);
    }

    // Dialog, ini file and command line agree on what a person typed: UTF-8 bytes throughout,
    // so a profile saved in the dialog is chosen with -p from a terminal and a name typed
    // into the ini by hand shows as typed.
    void utf8TextAgrees_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("handEdited");
        const QString koeln = QStringLiteral("K\u00F6ln");
        const QString lodz = QStringLiteral("\u0141\u00F3d\u017A");
        const QString tokyo = QStringLiteral("\u6771\u4EAC");
        QTest::newRow("K\u00f6ln saved in the dialog") << koeln << "h\u00E9te" << false;
        QTest::newRow("L\u00f3d\u017a (outside Latin-1) saved in the dialog")
            << lodz << lodz + ".example" << false;
        QTest::newRow("CJK saved in the dialog") << tokyo << tokyo << false;
        QTest::newRow("K\u00f6ln typed into the ini") << koeln << "h\u00E9te" << true;
        QTest::newRow("L\u00f3d\u017a typed into the ini") << lodz << "x" << true;
    }
    void utf8TextAgrees() {
        QFETCH(QString, name);
        QFETCH(QString, host);
        QFETCH(bool, handEdited);
        const QByteArray nameBytes = name.toUtf8();
        const QByteArray hostBytes = host.toUtf8();
        const QByteArray ini = "[Server1]\nName=" + nameBytes + "\nHostname=" + hostBytes +
                               "\nPortNumber=1234\nLogin=" + nameBytes + "\nPassword=\n";
        Fixture f(handEdited ? ini : QByteArray());
        if (!handEdited) {
            QVERIFY(f.Open());
            f.Edit("tunnelHost")->setText(host);
            f.Edit("tunnelPort")->setText("1234");
            f.Edit("login")->setText(name);
            CGenericStringDlg::SetNextAnswer(QDialog::Accepted, name);
            f.Click("save1");
            f.Click("ok");
            QCOMPARE(f.dlg->result(), int(QDialog::Accepted));
            QCOMPARE(QByteArray::fromStdString(f.dlg->settings.Hostname), hostBytes);
            QCOMPARE(QByteArray::fromStdString(f.dlg->settings.Login), nameBytes);
            QVERIFY(f.IniBytes().contains("Name=" + nameBytes + "\n"));
            QVERIFY(f.IniBytes().contains("Hostname=" + hostBytes + "\n"));
        }

        // The dialog shows the stored name and loads the profile as typed.
        COptionsDlg again(*f.store);
        again.settings.TunnelPortNumber = 1;
        again.settings.LanPortNumber = 1;
        again.show();
        QCOMPARE(again.findChild<QPushButton*>("load1")->text(), name);
        again.LoadServer(1);
        QCOMPARE(again.findChild<QLineEdit*>("tunnelHost")->text(), host);
        QCOMPARE(again.findChild<QLineEdit*>("login")->text(), name);

        // -p NAME from a UTF-8 terminal reaches the program as these bytes.
        Settings settings;
        QVERIFY(ApplyProfile(*f.store, settings, nameBytes.toStdString()));
        QCOMPARE(QByteArray::fromStdString(settings.Hostname), hostBytes);
    }

    // Text that is not UTF-8 (an older version's or a Windows editor's) shows as Latin-1 and
    // goes back byte for byte while untouched; what the user edits is stored as UTF-8.
    void storedTextShownAndKept() {
        const QByteArray latin1Name = "M\xFCnchen";
        Fixture f("[Server1]\nName=" + latin1Name +
                  "\nHostname=h\nLogin=J\x9Argen\nPassword=caf\xE9\n");
        f.dlg->settings.BroadcastAddress = "b\xE9";
        QVERIFY(f.Open());
        const QString shownName = QStringLiteral("M\u00FCnchen");
        QCOMPARE(f.Button("load1")->text(), shownName);
        QCOMPARE(f.Edit("broadcastAddress")->text(), QStringLiteral("b\u00E9"));

        // Renamed to the text it showed: nothing changes in the file.
        const QByteArray before = f.IniBytes();
        f.shift = true;
        CGenericStringDlg::SetNextAnswer(QDialog::Accepted, shownName);
        f.Click("save1");
        QCOMPARE(f.IniBytes(), before);
        CGenericStringDlg::SetNextAnswer(QDialog::Accepted, shownName + " 2");
        f.Click("save1");
        QCOMPARE(f.store->ReadServerName(1), std::string("M\xC3\xBCnchen 2"));
        f.shift = false;

        // Shown, but no address: it has to be mended before Load or OK takes anything.
        f.Click("load1");
        QVERIFY(CMessageBox::LastText().startsWith("Broadcast IP address is not"));
        f.Edit("broadcastAddress")->setText(QStringLiteral("10.0.0.255"));
        f.Click("load1");
        QCOMPARE(f.Edit("login")->text(), QStringLiteral("J\u009Argen"));
        QCOMPARE(f.Edit("password")->text(), QStringLiteral("caf\u00E9"));
        f.Edit("tunnelHost")->setText(QStringLiteral("h\u00E9"));
        f.Click("ok");
        QCOMPARE(f.dlg->result(), int(QDialog::Accepted));
        QCOMPARE(f.dlg->settings.Hostname, std::string("h\xC3\xA9"));
        QCOMPARE(f.dlg->settings.Login, std::string("J\x9Argen"));
        QCOMPARE(f.dlg->settings.Password, std::string("caf\xE9"));
    }

    // A value the ini file cannot hold is refused by its own field, as a bad port is: the
    // message names it, the focus goes to it, and what else the user changed stays in the
    // dialog for the next try. Load replaces the tunnel texts, so a bad one there is no reason
    // to refuse it.
    void unstorableValueRefusedByItsField_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("named"); // empty: accepted
        const QString ok = "ok";
        QTest::newRow("password pasted with its line break") << "password"
                                                             << "secret\n"
                                                             << ok << "Password";
        QTest::newRow("login with a CR") << "login"
                                         << "op\rx" << ok << "Login";
        QTest::newRow("host with a NUL")
            << "tunnelHost" << QString::fromLatin1("a\0b", 3) << ok << "Hostname or IP address";
        QTest::newRow("broadcast address with CR LF") << "broadcastAddress"
                                                      << "127.0.0.255\r\n"
                                                      << ok << "Broadcast IP address";
        QTest::newRow("Save as with a bad login") << "login"
                                                  << "op\n"
                                                  << "save2"
                                                  << "Login";
        QTest::newRow("Load over a bad password") << "password"
                                                  << "x\n"
                                                  << "load1"
                                                  << "";
        QTest::newRow("Load with a bad broadcast address") << "broadcastAddress"
                                                           << "x\n"
                                                           << "load1"
                                                           << "Broadcast IP address";
    }
    void unstorableValueRefusedByItsField() {
        QFETCH(QString, field);
        QFETCH(QString, typed);
        QFETCH(QString, button);
        QFETCH(QString, named);
        Fixture f(kProfileOne);
        QVERIFY(f.Open());
        f.Control<QCheckBox>("keepAlive")->setChecked(true);
        f.Edit(field)->setText(typed);
        CGenericStringDlg::SetNextAnswer(QDialog::Accepted, "Two");
        f.Click(button);
        QCOMPARE(f.IniBytes(), kProfileOne);
        if (named.isEmpty()) {
            QCOMPARE(CMessageBox::ShownCount(), 0);
            QCOMPARE(f.Edit(field)->text(), QStringLiteral("p1"));
            return;
        }
        QVERIFY(f.dlg->isVisible());
        QCOMPARE(CMessageBox::ShownCount(), 1);
        QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Warning);
        QVERIFY2(CMessageBox::LastText().startsWith(named + " holds a line break or a NUL"),
                 qPrintable(CMessageBox::LastText()));
        QCOMPARE(Fixture::FocusName(), field);
        QCOMPARE(f.dlg->settings.HeartBeat, 0);

        // Mended, the same OK takes every change.
        f.Edit(field)->setText(field == "broadcastAddress" ? QStringLiteral("10.0.0.255")
                                                           : QStringLiteral("fixed"));
        f.Click("ok");
        QCOMPARE(f.dlg->result(), int(QDialog::Accepted));
        QCOMPARE(f.dlg->settings.HeartBeat, 1);
    }

    void unstorableNameRefused() {
        Fixture f;
        QVERIFY(f.Open());
        CGenericStringDlg::SetNextAnswer(QDialog::Accepted, "two\nlines");
        f.Click("save1");
        QVERIFY(CMessageBox::LastText().startsWith("The server name holds a line break"));
        QCOMPARE(f.IniBytes(), QByteArray());
    }

    void iniGoneWhileOpen_data() {
        QTest::addColumn<QString>("change");
        QTest::newRow("file removed") << "file removed";
        QTest::newRow("directory removed") << "directory removed";
        QTest::newRow("file replaced by a directory") << "file replaced by a directory";
        QTest::newRow("read-only") << "read-only";
    }
    void iniGoneWhileOpen() {
        QFETCH(QString, change);
        Fixture f(kProfileOne + "[Server2]\nName=Two\n");
        QVERIFY(f.Open());
        if (change == "file removed") {
            QVERIFY(QFile::remove(f.IniPath()));
        } else if (change == "directory removed") {
            QVERIFY(QDir(f.CfgDir()).removeRecursively());
        } else if (change == "file replaced by a directory") {
            QVERIFY(QFile::remove(f.IniPath()));
            QVERIFY(QDir().mkpath(f.IniPath() + "/inner"));
        } else {
            QVERIFY(QFile::setPermissions(f.IniPath(), QFileDevice::ReadOwner));
            QVERIFY(
                QFile::setPermissions(f.CfgDir(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        f.Click("load1");
        CGenericStringDlg::SetNextAnswer(QDialog::Accepted, "Again");
        f.Click("save1");
        f.shift = true;
        CGenericStringDlg::SetNextAnswer(QDialog::Accepted, "");
        CMessageBox::SetNextAnswer(QMessageBox::Yes);
        f.Click("save2");
        f.shift = false;
        f.Click("ok");
        QCOMPARE(f.dlg->result(), int(QDialog::Accepted));
        // Whatever the file now holds, the buttons show it.
        for (int n = 1; n <= kServerProfileCount; ++n) {
            const std::string name = f.store->ReadServerName(n);
            const std::size_t i = static_cast<std::size_t>(n - 1);
            QCOMPARE(f.Button(COptionsDlg::SaveButtonName(i + 1))->text(),
                     name.empty() ? QStringLiteral("Server %1").arg(n)
                                  : QString::fromStdString(name));
            QCOMPARE(f.Button(COptionsDlg::LoadButtonName(i + 1))->isEnabled(), !name.empty());
        }
        QFile::setPermissions(f.CfgDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
    }

    // The seam the main window's tests drive the dialog with.
    void scriptedExec() {
        Fixture f;
        COptionsDlg::SetNextScript([](COptionsDlg& dlg) {
            dlg.findChild<QLineEdit*>("tunnelHost")->setText("scripted.example");
            dlg.findChild<QPushButton*>("ok")->click();
        });
        QCOMPARE(f.dlg->exec(), int(QDialog::Accepted));
        QCOMPARE(f.dlg->settings.Hostname, std::string("scripted.example"));

        Fixture g;
        COptionsDlg::SetNextScript(
            [](COptionsDlg& dlg) { dlg.findChild<QLineEdit*>("tunnelHost")->setText("dropped"); });
        QCOMPARE(g.dlg->exec(), int(QDialog::Rejected));
        QVERIFY(!g.dlg->isVisible());
        QCOMPARE(g.dlg->settings.Hostname, std::string());
    }
};

QTEST_MAIN(TestOptionsDlg)
#include "TestOptionsDlg.moc"
