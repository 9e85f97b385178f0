#include "CStatusDlg.h"

#include <algorithm>

#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextOption>
#include <QVBoxLayout>

namespace {
// Replaces the differing middle of one line only, so that a selection or a scroll position
// outside it stays where the reader put it.
void UpdateLine(QTextDocument& document, const QTextBlock& block, const QString& line) {
    const QString old = block.text();
    if (old == line)
        return;
    qsizetype head = 0;
    const qsizetype shorter = std::min(old.size(), line.size());
    while (head < shorter && old[head] == line[head])
        ++head;
    qsizetype tail = 0;
    while (tail < shorter - head && old[old.size() - 1 - tail] == line[line.size() - 1 - tail])
        ++tail;
    QTextCursor cursor(&document);
    cursor.setPosition(block.position() + static_cast<int>(head));
    cursor.setPosition(block.position() + static_cast<int>(old.size() - tail),
                       QTextCursor::KeepAnchor);
    cursor.insertText(line.mid(head, line.size() - head - tail));
}
} // namespace

CStatusDlg::CStatusDlg(TextSource source, QWidget* parent)
    : QDialog(parent), m_source(std::move(source)) {
    setWindowTitle("Kavlink status");
    m_text = new QPlainTextEdit(this);
    m_text->setReadOnly(true);
    // A long cause line wraps at the window's edge instead of hiding behind a scroll bar, and
    // so does a long name without blanks in it.
    m_text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_text->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Refreshed once a second for as long as it shows: no history to grow.
    m_text->setUndoRedoEnabled(false);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* copy = buttons->addButton("Copy", QDialogButtonBox::ActionRole);
    copy->setObjectName("copy");
    connect(copy, &QPushButton::clicked, this, &CStatusDlg::CopyToClipboard);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addWidget(buttons);
    // Room for the widest lines of the text and its counters without wrapping, as far as the
    // screen allows; longer lines wrap.
    const QFontMetrics metrics(m_text->font());
    const QSize wanted(metrics.horizontalAdvance(QString(74, 'x')) + 48,
                       metrics.lineSpacing() * 48);
    const QRect screen = this->screen()->availableGeometry();
    // The frame a window manager adds is not known before the window shows.
    const QSize room(screen.width() * 9 / 10, screen.height() * 9 / 10);
    resize(wanted.boundedTo(room));
    move(screen.center() - rect().center());
    connect(&m_timer, &QTimer::timeout, this, &CStatusDlg::Refresh);
    Refresh();
}

void CStatusDlg::Refresh() {
    const QString text = QString::fromStdString(m_source());
    if (text == m_text->toPlainText())
        return;
    // Line by line, never the whole text: setting it would drop the reader's selection and
    // scroll to the top at every tick.
    QTextDocument& document = *m_text->document();
    QStringList lines = text.split(QLatin1Char('\n'));
    QTextBlock block = document.firstBlock();
    qsizetype i = 0;
    for (; i < lines.size() && block.isValid(); ++i, block = block.next())
        UpdateLine(document, block, lines[i]);
    QTextCursor cursor(&document);
    if (block.isValid()) {
        // Fewer lines than before: the rest goes, from the end of the last line kept.
        cursor.setPosition(block.previous().position() + block.previous().length() - 1);
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    } else if (i < lines.size()) {
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(QLatin1Char('\n') + lines.mid(i).join(QLatin1Char('\n')));
    }
}

void CStatusDlg::CopyToClipboard() {
    // The status of this moment, not of the last tick.
    Refresh();
    QGuiApplication::clipboard()->setText(m_text->toPlainText());
}

QString CStatusDlg::Text() const {
    return m_text->toPlainText();
}

void CStatusDlg::showEvent(QShowEvent* event) {
    Refresh();
    m_timer.start(kRefreshMs);
    QDialog::showEvent(event);
}

void CStatusDlg::hideEvent(QHideEvent* event) {
    m_timer.stop();
    QDialog::hideEvent(event);
}
