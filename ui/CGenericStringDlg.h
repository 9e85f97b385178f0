#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

// The one-line text entry that asks for a server profile's name.
class CGenericStringDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int kMaxLength = 80;

    explicit CGenericStringDlg(QWidget* parent = nullptr);

    // A string id wins over the text; an id without a string gives an empty text.
    int titleId = 0;
    QString titleText;
    int promptId = 0;
    QString promptText;
    // The initial text in, the trimmed result out after OK.
    QString enteredText;

    int exec() override;
    void setVisible(bool visible) override;
    // OK: trims the text, then takes and validates it.
    void accept() override;

    // Test seam: the next exec() shows nothing, types the text into the field and presses OK
    // (Accepted) or Cancel (Rejected).
    static void SetNextAnswer(QDialog::DialogCode answer, const QString& typed = {});
    static void ResetNextAnswer();
    // What the last dialog asked: its title, prompt and initial text.
    struct Request {
        QString title;
        QString prompt;
        QString initialText;
    };
    static int AskedCount();
    static Request LastRequest();

private:
    void CreateControls();
    void OnInitDialog();
    bool UpdateData(bool saveAndValidate);

    QLabel* m_prompt = nullptr;
    QLineEdit* m_edit = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    bool m_initialised = false;
};
