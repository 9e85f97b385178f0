#include "CLabel.h"

#include "DialogUnits.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QPalette>
#include <QUrl>

CLabel::CLabel(QWidget* parent)
    : QLabel(parent), m_textColour(palette().color(QPalette::Active, QPalette::WindowText)),
      m_background(palette().color(QPalette::Active, QPalette::Button)),
      m_fontDescription(DialogUnits::DialogFont()) {
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, m_textColour);
    colours.setColor(QPalette::Window, m_background);
    setPalette(colours);
    setAutoFillBackground(true);
    ApplyFont();
}

void CLabel::SetLabelText(const QString& text) {
    setText(text);
}

void CLabel::SetBold(bool on) {
    m_fontDescription.setWeight(on ? QFont::Bold : QFont::Normal);
    ApplyFont();
}

void CLabel::SetTextHeight(int height) {
    m_fontDescription.setPixelSize(height);
    ApplyFont();
}

void CLabel::ApplyFont() {
    setFont(m_fontDescription);
    repaint();
}

void CLabel::mousePressEvent(QMouseEvent* event) {
    if (m_clickNotify && event->button() == Qt::LeftButton) {
        OpenLabelTarget();
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

void CLabel::OpenLabelTarget() {
    if (m_opener) {
        m_opener(text());
        return;
    }
    QDesktopServices::openUrl(QUrl::fromUserInput(text()));
}
