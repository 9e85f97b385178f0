#pragma once

#include <QByteArray>
#include <QEvent>

// The main window's notifications, as event types with their historic numbers.
inline constexpr int WM_TRAY_NOTIFY = 1524;
inline constexpr int WM_TUNNEL_DATA = 1525;
inline constexpr int WM_TUNNEL_CONNECTED = 1526;
inline constexpr int WM_TUNNEL_CLOSED = 1527;
inline constexpr int WM_LAN_MESSAGE = 1528;

inline QEvent::Type KavlinkEventType(int message) {
    return static_cast<QEvent::Type>(message);
}

// WM_TUNNEL_DATA: one received chunk, at most 255 bytes, taken up to its first NUL.
class CTunnelDataEvent : public QEvent {
public:
    explicit CTunnelDataEvent(QByteArray text)
        : QEvent(KavlinkEventType(WM_TUNNEL_DATA)), m_text(std::move(text)) {}
    const QByteArray& Text() const { return m_text; }

private:
    QByteArray m_text;
};
