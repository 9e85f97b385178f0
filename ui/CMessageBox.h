#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// Every message box of Kavlink, titled "Kavlink". A box with a parent blocks that window only
// (window-modal); none blocks the tray. Tests answer a box in advance with
// SetNextAnswer, so nothing waits for a person; what each box said is kept for them to read.
class CMessageBox {
public:
    static QMessageBox::StandardButton Show(QWidget* parent, QMessageBox::Icon icon,
                                            const QString& text,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);

    // A box that needs no answer, shown without waiting and without blocking any window.
    // shown, when given, is how the box shows the text; the text is what is kept and what
    // goes to standard error.
    static void Notify(QMessageBox::Icon icon, const QString& text, const QString& shown = {});

    // The next Show or Notify returns this at once instead of showing a box.
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
    // Records the box; true when a test answered it or it went to standard error instead.
    static bool Answered(QMessageBox::Icon icon, const QString& text,
                         QMessageBox::StandardButtons buttons, QMessageBox::StandardButton& answer);
    static QMessageBox::StandardButton EscapeAnswer(QMessageBox::StandardButtons buttons);
};
