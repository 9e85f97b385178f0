#include "CGenericStringDlg.h"

#include "CMessageBox.h"
#include "DialogUnits.h"
#include "StringTable.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolTip>

#include <algorithm>
#include <optional>

namespace {
struct Answer {
    QDialog::DialogCode code;
    QString typed;
};

struct Seam {
    std::optional<Answer> next;
    int asked = 0;
    CGenericStringDlg::Request last;
};

Seam& TheSeam() {
    static Seam seam;
    return seam;
}

QString TextOrString(int id, const QString& text) {
    return id != 0 ? QString::fromLatin1(LoadKavlinkString(id)) : text;
}
} // namespace

CGenericStringDlg::CGenericStringDlg(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    // Blocks the options dialog that asks, not the tray.
    setWindowModality(Qt::WindowModal);
    CreateControls();
}

void CGenericStringDlg::CreateControls() {
    setFont(DialogUnits::DialogFont());
    const DialogUnits units(font());
    setFixedSize(units.ToPixels(QSize(186, 72)));

    m_prompt = new QLabel(this);
    m_prompt->setObjectName(QStringLiteral("prompt"));
    m_prompt->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_prompt->setWordWrap(true);
    units.Place(*m_prompt, QRect(7, 7, 172, 19));

    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("entry"));
    units.Place(*m_edit, QRect(7, 32, 172, 12));
    // The edit refuses what goes past its limit without a word, a paste cut in the middle too.
    connect(m_edit, &QLineEdit::inputRejected, this, [this] {
        if (m_edit->text().size() >= m_edit->maxLength()) {
            QToolTip::showText(
                m_edit->mapToGlobal(QPoint(0, m_edit->height())),
                tr("At most %1 characters: the rest was left out.").arg(m_edit->maxLength()),
                m_edit);
        }
    });

    m_ok = new QPushButton(tr("OK"), this);
    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setDefault(true);
    units.Place(*m_ok, QRect(39, 51, 50, 14));

    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancel"));
    units.Place(*m_cancel, QRect(101, 51, 50, 14));

    setTabOrder(m_edit, m_ok);
    setTabOrder(m_ok, m_cancel);
    connect(m_ok, &QPushButton::clicked, this, &CGenericStringDlg::accept);
    connect(m_cancel, &QPushButton::clicked, this, &CGenericStringDlg::reject);
}

void CGenericStringDlg::OnInitDialog() {
    m_initialised = true;
    UpdateData(false);
    setWindowTitle(TextOrString(titleId, titleText));
    m_prompt->setText(TextOrString(promptId, promptText));
    m_edit->setFocus();

    Seam& seam = TheSeam();
    ++seam.asked;
    seam.last = {windowTitle(), m_prompt->text(), m_edit->text()};
}

bool CGenericStringDlg::UpdateData(bool saveAndValidate) {
    if (!saveAndValidate) {
        // Like an edit's limit, 80 holds for typing only: a longer initial text is shown whole
        // and then fails validation instead of being cut unseen.
        m_edit->setMaxLength(std::max<int>(kMaxLength, static_cast<int>(enteredText.size())));
        m_edit->setText(enteredText);
        return true;
    }
    const QString text = m_edit->text();
    if (text.size() > kMaxLength) {
        CMessageBox::Show(this, QMessageBox::Warning,
                          tr("Please enter no more than %1 characters.").arg(kMaxLength));
        m_edit->setFocus();
        m_edit->selectAll();
        return false;
    }
    enteredText = text;
    return true;
}

void CGenericStringDlg::setVisible(bool visible) {
    if (visible && !m_initialised) {
        OnInitDialog();
    }
    QDialog::setVisible(visible);
}

void CGenericStringDlg::accept() {
    m_edit->setText(m_edit->text().trimmed());
    if (UpdateData(true)) {
        QDialog::accept();
    }
}

int CGenericStringDlg::exec() {
    std::optional<Answer> answer;
    std::swap(answer, TheSeam().next);
    if (!answer) {
        return QDialog::exec();
    }
    if (!m_initialised) {
        OnInitDialog();
    }
    setResult(Rejected);
    if (answer->code == Accepted) {
        m_edit->setText(answer->typed);
        accept();
    }
    return result();
}

void CGenericStringDlg::SetNextAnswer(QDialog::DialogCode answer, const QString& typed) {
    TheSeam().next = Answer{answer, typed};
}

void CGenericStringDlg::ResetNextAnswer() {
    TheSeam() = Seam{};
}

int CGenericStringDlg::AskedCount() {
    return TheSeam().asked;
}

CGenericStringDlg::Request CGenericStringDlg::LastRequest() {
    return TheSeam().last;
}
