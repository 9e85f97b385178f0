#pragma once

#include "Clock.h"
#include "KavlinkCommands.h"

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

class QAction;
class QMenu;
class QWidget;

// The notification-area icon: tooltip, context menu, default command on a double click, and an
// animation that cycles through frames on a timer. The menu is the platform's own, shown by
// the tray host; what is chosen comes out as commandChosen.
class CSystemTray : public QObject {
    Q_OBJECT

public:
    explicit CSystemTray(QWidget* mainWindow, QObject* parent = nullptr);
    ~CSystemTray() override;

    // Tells whether a tray host displays the icon now; without one the icon waits for a host.
    bool CreateTrayIcon(const std::string& tooltip, const QIcon& icon);
    void RemoveTrayIcon();
    bool ChangeIcon(const QIcon& icon);
    QIcon CurrentIcon() const;
    // text is 8-bit (a tunnel name from the network); tail, when given, always shows in full
    // after it, within the tray's 127 characters.
    bool ChangeTooltip(const std::string& text, const QString& tail = {});
    QString Tooltip() const { return m_tray.toolTip(); }

    bool LoadAnimationIcons(int firstId, int lastId);
    bool StartAnimation(int periodMs, int durationSeconds);
    bool EndAnimation();
    void AdvanceAnimation();
    void OnAnimationTimer();

    // The command of a double click, drawn bold in the menu.
    void ChangeDefaultMenuItem(TrayCommand command);
    QMenu& Menu() const { return *m_menu; }
    QAction* Action(TrayCommand command) const;

    void SetClock(MonotonicClock clock) { m_clock = std::move(clock); }
    // Whether a tray host runs at this moment.
    virtual bool HostAvailable() const;

    // A headless platform never has a tray host; a desktop may get one later than Kavlink
    // starts, or not at all.
    enum class Host { Headless, Awaited, Present };
    Q_ENUM(Host)
    Host TrayHost() const;
    // The host watch's tick, every two seconds on a desktop: trayHostChanged when the host came or
    // went since the last look.
    void CheckTrayHost();
    // Test seam: the host the test says instead of the platform's.
    void SetTrayHostForTest(std::optional<Host> host) { m_hostForTest = host; }

    // A notification beside the icon; false when no tray host shows the icon.
    bool ShowMessage(const QString& title, const QString& text);
    int MessagesShown() const { return m_messagesShown; }
    QString LastMessage() const { return m_lastMessage; }

signals:
    void commandChosen(TrayCommand command);
    // A tray host appeared (Present) or went away (Awaited) after the icon was created.
    void trayHostChanged(CSystemTray::Host host);

protected:
    // Shows the icon and tells whether a tray host now displays it.
    virtual bool ShowInTray();
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

private:
    void BuildMenu();
    void BringMainWindowForward();

    QWidget* m_mainWindow;
    MonotonicClock m_clock;
    std::unique_ptr<QMenu> m_menu; // outlives the icon that shows it
    QSystemTrayIcon m_tray;

    bool m_iconAdded = false;
    std::vector<QIcon> m_animationIcons; // the frames in order; a frame may be null
    QTimer m_animationTimer;
    int m_currentFrame = 0;
    std::int64_t m_animationStart = 0; // on m_clock
    int m_animationSeconds = 0;        // 0 or less: no limit
    QIcon m_savedIcon;                 // shown again when the animation ends
    TrayCommand m_defaultCommand = TrayCommand::Options;
    std::optional<Host> m_hostForTest;
    Host m_knownHost = Host::Headless;
    QTimer m_hostWatch;
    int m_messagesShown = 0;
    QString m_lastMessage;
};
