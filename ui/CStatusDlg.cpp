#include "CStatusDlg.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

CStatusDlg::CStatusDlg(TextSource source, QWidget* parent)
    : QDialog(parent), m_source(std::move(source)) {
    setWindowTitle("Kavlink status");
    m_text = new QPlainTextEdit(this);
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* copy = buttons->addButton("Copy", QDialogButtonBox::ActionRole);
    copy->setObjectName("copy");
    connect(copy, &QPushButton::clicked, this, &CStatusDlg::CopyToClipboard);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addWidget(buttons);
    // Room for the widest lines of the text and its counters without scrolling.
    const QFontMetrics metrics(m_text->font());
    resize(metrics.horizontalAdvance(QString(74, 'x')) + 48, metrics.lineSpacing() * 48);
    connect(&m_timer, &QTimer::timeout, this, &CStatusDlg::Refresh);
    Refresh();
}

void CStatusDlg::Refresh() {
    const QString text = QString::fromStdString(m_source());
    if (text == m_text->toPlainText())
        return;
    // Setting the text scrolls to the top; a reader further down stays where he was.
    const int vertical = m_text->verticalScrollBar()->value();
    const int horizontal = m_text->horizontalScrollBar()->value();
    m_text->setPlainText(text);
    m_text->verticalScrollBar()->setValue(vertical);
    m_text->horizontalScrollBar()->setValue(horizontal);
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
