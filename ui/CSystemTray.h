#pragma once

#include "Clock.h"

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMenu;
class QWidget;

// The notification-area icon: tooltip, popup menu, default command on a double click, and an
// animation that cycles through frames on a timer.
class CSystemTray : public QObject {
    Q_OBJECT

public:
    // Delivers a menu command to the main window.
    using CommandSink = std::function<void(int commandId)>;

    CSystemTray(QWidget* mainWindow, CommandSink sendCommand, QObject* parent = nullptr);
    ~CSystemTray() override;

    // Tells whether a tray host displays the icon now; without one the icon waits for a host.
    bool CreateTrayIcon(const std::string& tooltip, const QIcon& icon, unsigned iconId);
    void RemoveTrayIcon();
    bool ChangeIcon(const QIcon& icon);
    QIcon CurrentIcon() const;
    bool ChangeTooltip(const std::string& text);

    bool LoadAnimationIcons(int firstId, int lastId);
    bool StartAnimation(int periodMs, int durationSeconds);
    bool EndAnimation();
    void AdvanceAnimation();
    void OnAnimationTimer();

    bool ChangeDefaultMenuItem(unsigned commandId);
    virtual long HandleTrayMessage(std::uintptr_t wParam, std::intptr_t lParam);

    void SetClock(MonotonicClock clock) { m_clock = std::move(clock); }
    // Whether a tray host runs at this moment.
    virtual bool HostAvailable() const;

    // A headless platform never has a tray host; a desktop may get one later than Kavlink
    // starts, or not at all.
    enum class Host { Headless, Awaited, Present };
    Host TrayHost() const;
    // Test seam: the host the test says instead of the platform's.
    void SetTrayHostForTest(std::optional<Host> host) { m_hostForTest = host; }

    // A notification beside the icon; false when no tray host shows the icon.
    bool ShowMessage(const QString& title, const QString& text);
    int MessagesShown() const { return m_messagesShown; }
    QString LastMessage() const { return m_lastMessage; }

protected:
    // Shows the icon and tells whether a tray host now displays it.
    virtual bool ShowInTray();
    // The popup of the menu resource named by the icon id; null when there is none.
    std::unique_ptr<QMenu> BuildTrayMenu() const;
    void OnActivated(QSystemTrayIcon::ActivationReason reason);
    QString Tooltip() const { return m_tray.toolTip(); }

private:
    bool ShowTrayMenu();
    void SendDefaultCommand();
    void BringMainWindowForward();

    QWidget* m_mainWindow;
    CommandSink m_sendCommand;
    MonotonicClock m_clock;
    QSystemTrayIcon m_tray;
    unsigned m_iconId = 0;

    bool m_iconAdded = false;
    std::vector<QIcon> m_animationIcons; // the frames in order; a frame may be null
    QTimer m_animationTimer;
    int m_currentFrame = 0;
    std::int64_t m_animationStart = 0; // on m_clock
    int m_animationSeconds = 0;        // 0 or less: no limit
    QIcon m_savedIcon;                 // shown again when the animation ends
    unsigned m_defaultMenuItem = 0;
    std::optional<Host> m_hostForTest;
    int m_messagesShown = 0;
    QString m_lastMessage;
};
