#include "DialogUnits.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QWidget>

namespace {
// a * b / c rounded to the nearest, halves away from zero, as MulDiv rounds.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}
} // namespace

// Windows measures a dialog font by the 52 letters, not by the font's own average width.
DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (letters / 26 + 1) / 2;
    m_baseY = metrics.height();
}

QFont DialogUnits::DialogFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(8);
    return font;
}

int DialogUnits::X(int du) const {
    return MulDiv(du, m_baseX, 4);
}

int DialogUnits::Y(int du) const {
    return MulDiv(du, m_baseY, 8);
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
