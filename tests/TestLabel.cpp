#include "CLabel.h"
#include "DialogUnits.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTest>

namespace {
// The window behind the label: counts the presses that reach it.
class Parent : public QWidget {
public:
    int presses = 0;

protected:
    void mousePressEvent(QMouseEvent* event) override {
        ++presses;
        event->accept();
    }
};
} // namespace

class TestLabel : public QObject {
    Q_OBJECT

private slots:
    void clicks_data() {
        QTest::addColumn<bool>("notify");
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("opened");
        QTest::newRow("notification off: parent gets it") << false << int(Qt::LeftButton) << false;
        QTest::newRow("notification on: opens the text") << true << int(Qt::LeftButton) << true;
        QTest::newRow("right button goes on") << true << int(Qt::RightButton) << false;
    }
    void clicks() {
        QFETCH(bool, notify);
        QFETCH(int, button);
        QFETCH(bool, opened);
        Parent parent;
        auto* label = new CLabel(&parent);
        label->SetLabelText("https://example.org/kavlink");
        label->SetClickNotify(notify);
        QStringList targets;
        label->SetTargetOpener([&targets](const QString& text) { targets << text; });
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));

        QTest::mouseClick(label, Qt::MouseButton(button));
        QCOMPARE(targets, opened ? QStringList{"https://example.org/kavlink"} : QStringList{});
        QCOMPARE(parent.presses, opened ? 0 : 1);
    }

    void fontAndColours() {
        CLabel label;
        const QPalette system = QApplication::palette();
        QCOMPARE(label.TextColour(), system.color(QPalette::Active, QPalette::WindowText));
        QCOMPARE(label.BackgroundColour(), system.color(QPalette::Active, QPalette::Button));
        QCOMPARE(label.palette().color(QPalette::Window), label.BackgroundColour());
        QVERIFY(label.autoFillBackground());
        QCOMPARE(label.font().family(), DialogUnits::DialogFont().family());
        QCOMPARE(label.font().weight(), QFont::Normal);

        // As the about panel uses it: bold, then a height; each keeps the other.
        label.SetBold(true);
        label.SetTextHeight(18);
        QCOMPARE(label.font().weight(), QFont::Bold);
        QCOMPARE(label.font().pixelSize(), 18);
        label.SetBold(false);
        QCOMPARE(label.font().weight(), QFont::Normal);
        QCOMPARE(label.font().pixelSize(), 18);
    }
};

QTEST_MAIN(TestLabel)
#include "TestLabel.moc"
