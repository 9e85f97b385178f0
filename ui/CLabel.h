#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>

#include <functional>

// A static text with its own font and colours. With click notification on, a left click opens
// its text as a target; off (the default), clicks go on to the parent window.
class CLabel : public QLabel {
    Q_OBJECT

public:
    using TargetOpener = std::function<void(const QString& text)>;

    explicit CLabel(QWidget* parent = nullptr);

    void SetLabelText(const QString& text);
    void SetBold(bool on);
    // The character height in pixels, internal leading excluded.
    void SetTextHeight(int height);
    void SetClickNotify(bool on) { m_clickNotify = on; }
    // Test seam: what opens the target instead of the desktop.
    void SetTargetOpener(TargetOpener opener) { m_opener = std::move(opener); }

    QColor TextColour() const { return m_textColour; }
    QColor BackgroundColour() const { return m_background; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void OpenLabelTarget();
    void ApplyFont();

    QColor m_textColour;
    QColor m_background;
    QFont m_fontDescription;
    bool m_clickNotify = false;
    TargetOpener m_opener;
};
