#include "CSystemTray.h"

#include "KavlinkCommands.h"
#include "KavlinkIcons.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QWidget>

#include <algorithm>

namespace {
// The tray menu resource: its first popup, command id 0 being the separator.
struct MenuEntry {
    int commandId;
    const char* text;
};
// clang-format off
constexpr MenuEntry kTrayMenu[] = {
    {CMD_ABOUT, "About Kavlink..."},
    {0, nullptr},
    {CMD_STATUS, "Status..."},
    {CMD_OPTIONS, "Options..."},
    {CMD_USAGE, "Command-line arguments..."},
    {IDOK_EXIT, "Exit"},
};
// clang-format on

constexpr std::size_t kTooltipLength = 127;
// The floor of the platform's timers; a 0 ms QTimer would spin.
constexpr int kMinimumPeriodMs = 10;
// Long enough to be read by someone who looks up a moment later.
constexpr int kMessageMs = 20000;

bool IsHeadless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// Half a second away from zero, then truncated.
std::int64_t RoundedSeconds(std::int64_t milliseconds) {
    return (milliseconds >= 0 ? milliseconds + 500 : milliseconds - 500) / 1000;
}

// Network text is 8-bit: shown as Latin-1, up to a NUL, at most what the tray ever held.
QString TooltipText(const std::string& text) {
    const std::size_t length = std::min({text.find('\0'), text.size(), kTooltipLength});
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(length));
}
} // namespace

CSystemTray::CSystemTray(QWidget* mainWindow, CommandSink sendCommand, QObject* parent)
    : QObject(parent), m_mainWindow(mainWindow), m_sendCommand(std::move(sendCommand)),
      m_clock(SystemMonotonicNanoseconds) {
    connect(&m_tray, &QSystemTrayIcon::activated, this, &CSystemTray::OnActivated);
    connect(&m_animationTimer, &QTimer::timeout, this, &CSystemTray::OnAnimationTimer);
}

CSystemTray::~CSystemTray() {
    RemoveTrayIcon();
}

bool CSystemTray::CreateTrayIcon(const std::string& tooltip, const QIcon& icon, unsigned iconId) {
    m_iconId = iconId;
    m_tray.setIcon(icon);
    m_tray.setToolTip(TooltipText(tooltip));
    // Shown even while no tray host runs (a session's panel often starts after us): Qt embeds
    // the icon by itself whenever a host appears, and it must be current by then.
    m_iconAdded = true;
    return ShowInTray();
}

bool CSystemTray::ShowInTray() {
    // A headless platform never gets a tray host; there Qt would only complain.
    if (!IsHeadless()) {
        m_tray.show();
    }
    return HostAvailable();
}

bool CSystemTray::HostAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

CSystemTray::Host CSystemTray::TrayHost() const {
    if (m_hostForTest) {
        return *m_hostForTest;
    }
    if (IsHeadless()) {
        return Host::Headless;
    }
    return HostAvailable() ? Host::Present : Host::Awaited;
}

bool CSystemTray::ShowMessage(const QString& title, const QString& text) {
    if (!m_iconAdded || TrayHost() != Host::Present) {
        return false;
    }
    m_tray.showMessage(title, text, m_tray.icon(), kMessageMs);
    ++m_messagesShown;
    m_lastMessage = text;
    return true;
}

void CSystemTray::RemoveTrayIcon() {
    if (!m_iconAdded) {
        return;
    }
    m_tray.hide();
    m_iconAdded = false;
}

bool CSystemTray::ChangeIcon(const QIcon& icon) {
    if (!m_iconAdded) {
        return false;
    }
    m_tray.setIcon(icon);
    return true;
}

QIcon CSystemTray::CurrentIcon() const {
    return m_iconAdded ? m_tray.icon() : QIcon();
}

bool CSystemTray::ChangeTooltip(const std::string& text) {
    if (!m_iconAdded) {
        return false;
    }
    m_tray.setToolTip(TooltipText(text));
    return true;
}

bool CSystemTray::LoadAnimationIcons(int firstId, int lastId) {
    if (lastId < firstId) {
        return false;
    }
    m_animationIcons.clear();
    // A wider counter, so that a range ending at INT_MAX still ends.
    for (std::int64_t id = firstId; id <= lastId; ++id) {
        m_animationIcons.push_back(LoadKavlinkIcon(static_cast<int>(id)));
    }
    return true;
}

bool CSystemTray::StartAnimation(int periodMs, int durationSeconds) {
    EndAnimation();
    m_currentFrame = 0;
    m_animationStart = m_clock();
    m_animationSeconds = durationSeconds;
    m_savedIcon = CurrentIcon();
    // No frame is shown before the first tick.
    m_animationTimer.start(std::max(periodMs, kMinimumPeriodMs));
    return m_animationTimer.isActive();
}

bool CSystemTray::EndAnimation() {
    const bool wasRunning = m_animationTimer.isActive();
    m_animationTimer.stop();
    if (!m_savedIcon.isNull()) {
        ChangeIcon(m_savedIcon);
    }
    m_savedIcon = QIcon();
    return wasRunning;
}

void CSystemTray::AdvanceAnimation() {
    if (m_animationIcons.empty()) {
        return;
    }
    if (++m_currentFrame >= static_cast<int>(m_animationIcons.size())) {
        m_currentFrame = 0;
    }
    ChangeIcon(m_animationIcons[static_cast<std::size_t>(m_currentFrame)]);
}

void CSystemTray::OnAnimationTimer() {
    const std::int64_t elapsed = RoundedSeconds((m_clock() - m_animationStart) / 1'000'000);
    if (m_animationSeconds > 0 && elapsed > m_animationSeconds) {
        EndAnimation();
    } else {
        AdvanceAnimation();
    }
}

bool CSystemTray::ChangeDefaultMenuItem(unsigned commandId) {
    if (commandId == m_defaultMenuItem) {
        return true;
    }
    // Stored even without a menu: it takes effect whenever the menu is built.
    m_defaultMenuItem = commandId;
    return m_iconId == IDR_TRAY_MENU;
}

long CSystemTray::HandleTrayMessage(std::uintptr_t wParam, std::intptr_t lParam) {
    if (wParam != m_iconId) {
        return 0;
    }
    switch (static_cast<int>(lParam & 0xFFFF)) {
    case WM_RBUTTONUP:
        return ShowTrayMenu() ? 1 : 0;
    case WM_LBUTTONDBLCLK:
        BringMainWindowForward();
        SendDefaultCommand();
        return 1;
    default:
        return 1;
    }
}

void CSystemTray::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Context:
        HandleTrayMessage(m_iconId, WM_RBUTTONUP);
        break;
    case QSystemTrayIcon::DoubleClick:
        HandleTrayMessage(m_iconId, WM_LBUTTONDBLCLK);
        break;
    case QSystemTrayIcon::Trigger:
        HandleTrayMessage(m_iconId, WM_LBUTTONUP);
        break;
    default:
        break;
    }
}

std::unique_ptr<QMenu> CSystemTray::BuildTrayMenu() const {
    if (m_iconId != IDR_TRAY_MENU) {
        return nullptr;
    }
    auto menu = std::make_unique<QMenu>();
    for (const MenuEntry& entry : kTrayMenu) {
        if (entry.commandId == 0) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QString::fromLatin1(entry.text));
        action->setData(entry.commandId);
        if (static_cast<unsigned>(entry.commandId) == m_defaultMenuItem) {
            menu->setDefaultAction(action); // drawn bold
        }
    }
    return menu;
}

bool CSystemTray::ShowTrayMenu() {
    std::unique_ptr<QMenu> menu = BuildTrayMenu();
    if (!menu) {
        return false;
    }
    BringMainWindowForward();
    // A nested event loop: relaying and timers go on while the menu is open.
    const QAction* chosen = menu->exec(QCursor::pos());
    const int command = chosen ? chosen->data().toInt() : 0;
    menu.reset();
    if (command != 0 && m_sendCommand) {
        m_sendCommand(command);
    }
    return true;
}

void CSystemTray::SendDefaultCommand() {
    if (m_defaultMenuItem != 0 && m_sendCommand) {
        m_sendCommand(static_cast<int>(m_defaultMenuItem));
    }
}

void CSystemTray::BringMainWindowForward() {
    if (m_mainWindow && m_mainWindow->isVisible()) {
        m_mainWindow->raise();
        m_mainWindow->activateWindow();
    }
}

// Compiled with this unit, so that using the tray pulls in no other window of the library.
#include "moc_CSystemTray.cpp" // NOLINT(bugprone-suspicious-include)
