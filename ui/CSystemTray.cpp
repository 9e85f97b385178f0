#include "CSystemTray.h"

#include "KavlinkCommands.h"
#include "KavlinkIcons.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QWidget>

#include <algorithm>

namespace {
// The tray menu in its order; an entry without text is the separator. "&" marks each entry's
// key, one of its own per entry.
struct MenuEntry {
    TrayCommand command;
    const char* text;
};
// clang-format off
constexpr MenuEntry kTrayMenu[] = {
    {TrayCommand::About, "&About Kavlink..."},
    {TrayCommand::About, nullptr},
    {TrayCommand::Status, "&Status..."},
    {TrayCommand::Options, "&Options..."},
    {TrayCommand::Usage, "&Command-line arguments..."},
    {TrayCommand::Exit, "E&xit"},
};
// clang-format on

constexpr std::size_t kTooltipLength = 127;
// The floor of the platform's timers; a 0 ms QTimer would spin.
constexpr int kMinimumPeriodMs = 10;
// Long enough to be read by someone who looks up a moment later.
constexpr int kMessageMs = 20000;
// How often a desktop's tray host is looked for: it may come late, go, and come back. Where
// the tray is a D-Bus service, each look is a call to the session bus.
constexpr int kHostWatchMs = 2000;

bool IsHeadless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// Half a second away from zero, then truncated.
std::int64_t RoundedSeconds(std::int64_t milliseconds) {
    return (milliseconds >= 0 ? milliseconds + 500 : milliseconds - 500) / 1000;
}

// Network text is 8-bit: shown as Latin-1, up to a NUL, at most what the tray ever held. The
// tail is cut last, so that a long name never hides it.
QString TooltipText(const std::string& text, const QString& tail) {
    const std::size_t room = kTooltipLength - std::min(kTooltipLength, std::size_t(tail.size()));
    const std::size_t length = std::min({text.find('\0'), text.size(), room});
    return (QString::fromLatin1(text.data(), static_cast<qsizetype>(length)) + tail)
        .left(static_cast<qsizetype>(kTooltipLength));
}
} // namespace

CSystemTray::CSystemTray(QWidget* mainWindow, QObject* parent)
    : QObject(parent), m_mainWindow(mainWindow), m_clock(SystemMonotonicNanoseconds),
      m_menu(std::make_unique<QMenu>()) {
    BuildMenu();
    connect(&m_tray, &QSystemTrayIcon::activated, this, &CSystemTray::OnActivated);
    connect(&m_animationTimer, &QTimer::timeout, this, &CSystemTray::OnAnimationTimer);
    connect(&m_hostWatch, &QTimer::timeout, this, &CSystemTray::CheckTrayHost);
}

void CSystemTray::BuildMenu() {
    for (const MenuEntry& entry : kTrayMenu) {
        if (entry.text == nullptr) {
            m_menu->addSeparator();
            continue;
        }
        QAction* action = m_menu->addAction(QString::fromLatin1(entry.text));
        action->setData(static_cast<int>(entry.command));
        const TrayCommand command = entry.command;
        connect(action, &QAction::triggered, this,
                [this, command] { emit commandChosen(command); });
    }
    // The window the menu belongs to comes forward with it.
    connect(m_menu.get(), &QMenu::aboutToShow, this, &CSystemTray::BringMainWindowForward);
    ChangeDefaultMenuItem(m_defaultCommand);
    m_tray.setContextMenu(m_menu.get());
}

QAction* CSystemTray::Action(TrayCommand command) const {
    for (QAction* action : m_menu->actions()) {
        if (!action->isSeparator() && action->data().toInt() == static_cast<int>(command)) {
            return action;
        }
    }
    return nullptr;
}

CSystemTray::~CSystemTray() {
    RemoveTrayIcon();
}

bool CSystemTray::CreateTrayIcon(const std::string& tooltip, const QIcon& icon) {
    m_tray.setIcon(icon);
    m_tray.setToolTip(TooltipText(tooltip, {}));
    // Shown even while no tray host runs (a session's panel often starts after us): Qt embeds
    // the icon by itself whenever a host appears, and it must be current by then.
    m_iconAdded = true;
    const bool shown = ShowInTray();
    m_knownHost = TrayHost();
    if (m_knownHost != Host::Headless)
        m_hostWatch.start(kHostWatchMs);
    return shown;
}

void CSystemTray::CheckTrayHost() {
    const Host host = TrayHost();
    if (host == m_knownHost)
        return;
    m_knownHost = host;
    emit trayHostChanged(host);
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
    m_hostWatch.stop();
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

bool CSystemTray::ChangeTooltip(const std::string& text, const QString& tail) {
    if (!m_iconAdded) {
        return false;
    }
    m_tray.setToolTip(TooltipText(text, tail));
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

void CSystemTray::ChangeDefaultMenuItem(TrayCommand command) {
    m_defaultCommand = command;
    // Drawn bold; the platform's menu may not show it, the double click keeps it all the same.
    m_menu->setDefaultAction(Action(command));
}

// A right click opens the context menu, which the tray host shows by itself.
void CSystemTray::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::DoubleClick) {
        return;
    }
    BringMainWindowForward();
    emit commandChosen(m_defaultCommand);
}

void CSystemTray::BringMainWindowForward() {
    if (m_mainWindow && m_mainWindow->isVisible()) {
        m_mainWindow->raise();
        m_mainWindow->activateWindow();
    }
}

// Compiled with this unit, so that using the tray pulls in no other window of the library.
#include "moc_CSystemTray.cpp" // NOLINT(bugprone-suspicious-include)
