#include "CMessageBox.h"

#include <QGuiApplication>

#include <cstdio>
#include <optional>

namespace {
struct Record {
    std::optional<QMessageBox::StandardButton> nextAnswer;
    int shown = 0;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

Record& TheRecord() {
    static Record record;
    return record;
}
} // namespace

QMessageBox::StandardButton CMessageBox::Show(QWidget* parent, QMessageBox::Icon icon,
                                              const QString& text,
                                              QMessageBox::StandardButtons buttons) {
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    if (Answered(icon, text, buttons, answer))
        return answer;
    QMessageBox box(icon, QStringLiteral("Kavlink"), text, buttons, parent);
    box.setWindowModality(Qt::WindowModal);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void CMessageBox::Notify(QMessageBox::Icon icon, const QString& text, const QString& shown) {
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    if (Answered(icon, text, QMessageBox::Ok, answer))
        return;
    auto* box = new QMessageBox(icon, QStringLiteral("Kavlink"), shown.isEmpty() ? text : shown,
                                QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

bool CMessageBox::Answered(QMessageBox::Icon icon, const QString& text,
                           QMessageBox::StandardButtons buttons,
                           QMessageBox::StandardButton& answer) {
    Record& record = TheRecord();
    ++record.shown;
    record.text = text;
    record.icon = icon;
    record.buttons = buttons;
    if (record.nextAnswer) {
        answer = *record.nextAnswer;
        record.nextAnswer.reset();
        return true;
    }
    if (!CanAsk()) {
        std::fprintf(stderr, "Kavlink: %s\n", text.toLocal8Bit().constData());
        answer = EscapeAnswer(buttons);
        return true;
    }
    return false;
}

void CMessageBox::SetNextAnswer(QMessageBox::StandardButton answer) {
    TheRecord().nextAnswer = answer;
}

void CMessageBox::Reset() {
    TheRecord() = Record{};
}

bool CMessageBox::CanAsk() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

int CMessageBox::ShownCount() {
    return TheRecord().shown;
}

QString CMessageBox::LastText() {
    return TheRecord().text;
}

QMessageBox::Icon CMessageBox::LastIcon() {
    return TheRecord().icon;
}

QMessageBox::StandardButtons CMessageBox::LastButtons() {
    return TheRecord().buttons;
}

// The answer that changes nothing: what Escape would give.
QMessageBox::StandardButton CMessageBox::EscapeAnswer(QMessageBox::StandardButtons buttons) {
    for (const QMessageBox::StandardButton b : {QMessageBox::Cancel, QMessageBox::No}) {
        if (buttons.testFlag(b)) {
            return b;
        }
    }
    return QMessageBox::Ok;
}
