#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

// Dialog units of a dialog template turned into pixels as Windows does it: x * average
// character width / 4 and y * character height / 8, each rounded, from the dialog's font.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}

    // The font of every dialog template: the platform's GUI font at the templates' 8 points.
    static QFont DialogFont();

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

    int X(int du) const;
    int Y(int du) const;
    QRect ToPixels(const QRect& du) const;
    QSize ToPixels(const QSize& du) const;
    // Puts a control where its template rectangle says.
    void Place(QWidget& control, const QRect& du) const;

private:
    int m_baseX;
    int m_baseY;
};
