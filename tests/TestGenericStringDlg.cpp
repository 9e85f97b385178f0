#include "CGenericStringDlg.h"
#include "CMessageBox.h"
#include "DialogUnits.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolTip>

namespace {
QString FocusName() {
    return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
}

bool Open(CGenericStringDlg& dlg) {
    dlg.show();
    dlg.activateWindow();
    return QTest::qWaitForWindowActive(&dlg);
}

QLineEdit* Field(const CGenericStringDlg& dlg) {
    return dlg.findChild<QLineEdit*>(QStringLiteral("entry"));
}

void ClickOk(const CGenericStringDlg& dlg) {
    dlg.findChild<QPushButton*>(QStringLiteral("ok"))->click();
}
} // namespace

class TestGenericStringDlg : public QObject {
    Q_OBJECT

private slots:
    void init() {
        CMessageBox::Reset();
        CGenericStringDlg::ResetNextAnswer();
    }

    // The layout as written, converted with the dialog's own font.
    void controls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QRect>("du");
        QTest::newRow("prompt") << "prompt"
                                << "QLabel" << QRect(7, 7, 172, 19);
        QTest::newRow("entry") << "entry"
                               << "QLineEdit" << QRect(7, 32, 172, 12);
        QTest::newRow("OK") << "ok"
                            << "QPushButton" << QRect(39, 51, 50, 14);
        QTest::newRow("Cancel") << "cancel"
                                << "QPushButton" << QRect(101, 51, 50, 14);
    }
    void controls() {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QRect, du);
        CGenericStringDlg dlg;
        QWidget* w = dlg.findChild<QWidget*>(name);
        QVERIFY(w);
        QVERIFY(w->inherits(className.toLatin1().constData()));
        QCOMPARE(w->geometry(), DialogUnits(dlg.font()).ToPixels(du));
    }

    void frameFocusAndTabOrder() {
        CGenericStringDlg dlg;
        QVERIFY(Open(dlg));
        QCOMPARE(dlg.size(), DialogUnits(dlg.font()).ToPixels(QSize(186, 72)));
        QCOMPARE(dlg.windowType(), Qt::Tool);
        QVERIFY(dlg.windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QCOMPARE(dlg.windowTitle(), QString());
        QVERIFY(dlg.findChild<QPushButton*>(QStringLiteral("ok"))->isDefault());
        QCOMPARE(Field(dlg)->maxLength(), 80);
        QStringList visited{FocusName()};
        for (int i = 0; i < 3; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << FocusName();
        }
        QCOMPARE(visited.join(' '), QStringLiteral("entry ok cancel entry"));
    }

    void titleAndPrompt_data() {
        QTest::addColumn<int>("titleId");
        QTest::addColumn<QString>("titleText");
        QTest::addColumn<int>("promptId");
        QTest::addColumn<QString>("promptText");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("prompt");
        QTest::newRow("by id") << 108 << "" << 111 << ""
                               << "Set server name..."
                               << "Enter a name  for this server:";
        QTest::newRow("by text") << 0 << "T" << 0 << "P"
                                 << "T"
                                 << "P";
        QTest::newRow("id wins over text") << 108 << "T" << 109 << "P"
                                           << "Set server name..."
                                           << "Enter a name  for this server (or empty to "
                                              "delete it)";
        QTest::newRow("id without a string") << 999 << "T" << 998 << "P"
                                             << ""
                                             << "";
    }
    void titleAndPrompt() {
        QFETCH(int, titleId);
        QFETCH(QString, titleText);
        QFETCH(int, promptId);
        QFETCH(QString, promptText);
        QFETCH(QString, title);
        QFETCH(QString, prompt);
        CGenericStringDlg dlg;
        dlg.titleId = titleId;
        dlg.titleText = titleText;
        dlg.promptId = promptId;
        dlg.promptText = promptText;
        dlg.show();
        QCOMPARE(dlg.windowTitle(), title);
        QCOMPARE(dlg.findChild<QLabel*>(QStringLiteral("prompt"))->text(), prompt);
    }

    void ok_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("entered");
        QTest::newRow("blanks around") << "  name  "
                                       << "name";
        QTest::newRow("tabs around, blank inside") << "\tx y\t"
                                                   << "x y";
        QTest::newRow("blanks only") << "   "
                                     << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("8-bit") << QString::fromLatin1(" caf\xE9 ")
                               << QString::fromLatin1("caf\xE9");
        QTest::newRow("80 characters") << QString(80, 'n') << QString(80, 'n');
    }
    void ok() {
        QFETCH(QString, typed);
        QFETCH(QString, entered);
        CGenericStringDlg dlg;
        dlg.enteredText = "initial";
        dlg.show();
        Field(dlg)->setText(typed);
        ClickOk(dlg);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.enteredText, entered);
        QCOMPARE(Field(dlg)->text(), entered);
        QCOMPARE(CMessageBox::ShownCount(), 0);
    }

    // Typing stops at 80 and says so, rather than dropping the rest unseen.
    void typingStopsAt80() {
        CGenericStringDlg dlg;
        QVERIFY(Open(dlg));
        QTest::keyClicks(Field(dlg), QString(80, 'k'));
        QVERIFY(!QToolTip::isVisible());
        QTest::keyClicks(Field(dlg), QString(1, 'k'));
        QCOMPARE(Field(dlg)->text(), QString(80, 'k'));
        QVERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), QStringLiteral("At most 80 characters: the rest was left out."));
        QToolTip::hideText();
    }

    // A longer text from the file is shown whole, and OK refuses it until it is shortened.
    void longInitialTextFailsValidation() {
        CGenericStringDlg dlg;
        dlg.enteredText = QString(100, 'x');
        QVERIFY(Open(dlg));
        QCOMPARE(Field(dlg)->text(), QString(100, 'x'));
        ClickOk(dlg);
        QVERIFY(dlg.isVisible());
        QCOMPARE(CMessageBox::LastText(),
                 QStringLiteral("Please enter no more than 80 characters."));
        QCOMPARE(CMessageBox::LastIcon(), QMessageBox::Warning);
        QCOMPARE(FocusName(), QStringLiteral("entry"));
        QCOMPARE(dlg.enteredText, QString(100, 'x'));

        Field(dlg)->setText(QString(80, 'x'));
        ClickOk(dlg);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.enteredText, QString(80, 'x'));
    }

    void cancelKeepsInitialText() {
        CGenericStringDlg dlg;
        dlg.enteredText = "Alpha";
        dlg.show();
        Field(dlg)->setText("Beta");
        dlg.findChild<QPushButton*>(QStringLiteral("cancel"))->click();
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QCOMPARE(dlg.enteredText, QStringLiteral("Alpha"));
    }

    // The seam goes through the real field and OK, so the limit and the trimming hold.
    void nextAnswer_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("entered");
        QTest::newRow("OK trims") << int(QDialog::Accepted) << " x "
                                  << "x";
        QTest::newRow("OK stops at 80")
            << int(QDialog::Accepted) << QString(10000, 'y') << QString(80, 'y');
        QTest::newRow("Cancel keeps initial") << int(QDialog::Rejected) << "z"
                                              << "init";
    }
    void nextAnswer() {
        QFETCH(int, answer);
        QFETCH(QString, typed);
        QFETCH(QString, entered);
        CGenericStringDlg::SetNextAnswer(QDialog::DialogCode(answer), typed);
        CGenericStringDlg dlg;
        dlg.titleText = "T";
        dlg.enteredText = "init";
        QCOMPARE(dlg.exec(), answer);
        QCOMPARE(dlg.enteredText, entered);
        QCOMPARE(CGenericStringDlg::AskedCount(), 1);
        QCOMPARE(CGenericStringDlg::LastRequest().title, QStringLiteral("T"));
        QCOMPARE(CGenericStringDlg::LastRequest().initialText, QStringLiteral("init"));
    }
};

QTEST_MAIN(TestGenericStringDlg)
#include "TestGenericStringDlg.moc"
