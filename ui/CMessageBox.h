#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// Every modal message box of Kavlink, titled "Kavlink". Tests answer a box in advance with
// SetNextAnswer, so nothing waits for a person; what each box said is kept for them to read.
class CMessageBox {
public:
    static QMessageBox::StandardButton Show(QWidget* parent, QMessageBox::Icon icon,
                                            const QString& text,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);

    // The next Show returns this at once instead of showing a box.
    static void SetNextAnswer(QMessageBox::StandardButton answer);
    // Forgets a pending answer and what was shown.
    static void Reset();

    // False where no person can answer a box (the offscreen and minimal platforms). There a
    // box unanswered in advance is written to standard error and gets its escape answer.
    static bool CanAsk();

    static int ShownCount();
    static QString LastText();
    static QMessageBox::Icon LastIcon();
    static QMessageBox::StandardButtons LastButtons();

private:
    static QMessageBox::StandardButton EscapeAnswer(QMessageBox::StandardButtons buttons);
};
