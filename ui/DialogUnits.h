#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

// Dialog units of a dialog template turned into pixels as Windows does it: x * average
// character width / 4 and y * character height / 8, each rounded, from the dialog's font.
// The average width is kept unrounded: rounded to whole pixels it may come out a tenth too
// narrow for a font the templates were not drawn for, and cut their labels.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(double baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}

    // The font of every dialog template: the desktop's own, as the menus use it. The
    // templates' 8 pt was the desktop font of their day; their units follow a larger one.
    static QFont DialogFont();

    double BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

    int X(int du) const;
    int Y(int du) const;
    QRect ToPixels(const QRect& du) const;
    QSize ToPixels(const QSize& du) const;
    // Puts a control where its template rectangle says.
    void Place(QWidget& control, const QRect& du) const;

private:
    double m_baseX;
    int m_baseY;
};
