#include "DialogUnits.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QWidget>

#include <cmath>

// Windows measures a dialog font by the 52 letters, not by the font's own average width.
DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    m_baseX = metrics.horizontalAdvance(
                  QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
              52;
    m_baseY = QFontMetrics(font).height();
}

QFont DialogUnits::DialogFont() {
    return QGuiApplication::font();
}

// Rounded to the nearest pixel, halves away from zero, as MulDiv rounds.
int DialogUnits::X(int du) const {
    return static_cast<int>(std::lround(du * m_baseX / 4));
}

int DialogUnits::Y(int du) const {
    return static_cast<int>(std::lround(du * static_cast<double>(m_baseY) / 8));
}

QRect DialogUnits::ToPixels(const QRect& du) const {
    return {X(du.x()), Y(du.y()), X(du.width()), Y(du.height())};
}

QSize DialogUnits::ToPixels(const QSize& du) const {
    return {X(du.width()), Y(du.height())};
}

void DialogUnits::Place(QWidget& control, const QRect& du) const {
    control.setGeometry(ToPixels(du));
}
