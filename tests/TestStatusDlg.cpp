#include "CStatusDlg.h"

#include <QFontInfo>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>

#include <string>

class TestStatusDlg : public QObject {
    Q_OBJECT

private slots:
    // A long line wraps at the window's width, in the fixed-width font; the text itself, which
    // Copy hands on, keeps its lines as they were. A refresh that changes the wrapped line
    // leaves the reader's selection in it alone.
    void longLineWraps_data() {
        QTest::addColumn<QString>("cause");
        QString words;
        while (words.size() < 200)
            words += QStringLiteral("connection refused by the tunnel server ");
        QTest::newRow("200 characters of words") << words.left(200);
        QTest::newRow("200 characters without a blank") << QString(200, QLatin1Char('x'));
    }
    void longLineWraps() {
        QFETCH(QString, cause);
        int tick = 0;
        const auto source = [&] {
            return "Kavlink status\nlast cause: " + cause.toStdString() + " (" +
                   std::to_string(tick) + " times)\nend\n";
        };
        CStatusDlg status(source);
        status.show();
        QVERIFY(QTest::qWaitForWindowExposed(&status));
        auto* text = status.findChild<QPlainTextEdit*>();
        QVERIFY(QFontInfo(text->font()).fixedPitch());

        const QTextBlock line = text->document()->findBlockByNumber(1);
        QVERIFY(line.layout()->lineCount() > 1);
        QCOMPARE(text->horizontalScrollBar()->maximum(), 0);
        QCOMPARE(status.Text(), QString::fromStdString(source()));

        QTextCursor selection(line);
        selection.setPosition(line.position() + 12, QTextCursor::KeepAnchor);
        text->setTextCursor(selection);
        for (int i = 1; i <= 12; ++i) {
            tick = i;
            status.Refresh();
        }
        QCOMPARE(text->textCursor().selectedText(), QStringLiteral("last cause: "));
        QCOMPARE(status.Text(), QString::fromStdString(source()));
    }
};

QTEST_MAIN(TestStatusDlg)
#include "TestStatusDlg.moc"
