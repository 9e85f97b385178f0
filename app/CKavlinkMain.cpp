#include "CKavlinkMain.h"

#include "CMessageBox.h"
#include "CSettingsStore.h"
#include "CommandLine.h"
#include "KavlinkIcons.h"
#include "StatusText.h"

#include <cstdio>

namespace {
constexpr const char* kNoServerMessage =
    "No tunnel server is configured. Choose Options... in this icon's menu to set one.";

// After the tunnel's name in the tooltip: whether what crosses the Internet can be read.
QString EncryptionTail(const Settings& settings) {
    return settings.Tls != 0 ? QStringLiteral(" \u2013 TLS")
                             : QStringLiteral(" \u2013 not encrypted");
}
} // namespace

CKavlinkMain::CKavlinkMain(CSettingsStore& store, std::string configDirectory, QObject* parent)
    : QObject(parent), m_store(store), m_configDirectory(std::move(configDirectory)),
      m_mainIcon(LoadKavlinkIcon(IDI_MAIN)), m_panel([this] { return AwaitingTrayHost(); }),
      m_trayIcon(&m_panel), m_hub(std::make_unique<CTunnelHub>(m_settings, m_log)) {
    connect(&m_trayIcon, &CSystemTray::commandChosen, this, &CKavlinkMain::OnCommand);
    connect(&m_panel, &CKavlinkDlg::commandChosen, this, &CKavlinkMain::OnCommand);
    connect(&m_panel, &CKavlinkDlg::panelHidden, this, &CKavlinkMain::ShowPendingNotice);
    connect(&m_trayIcon, &CSystemTray::trayHostChanged, this, &CKavlinkMain::OnTrayHostChanged);
    connect(m_hub.get(), &CTunnelHub::tunnelNamed, this, &CKavlinkMain::ShowTunnelName);
    connect(m_hub.get(), &CTunnelHub::tunnelConnected, this,
            [this] { m_trayIcon.StartAnimation(800, -1); });
    connect(m_hub.get(), &CTunnelHub::tunnelEnded, this, [this] { m_trayIcon.EndAnimation(); });
}

CKavlinkMain::~CKavlinkMain() {
    // It reads the hub.
    delete m_statusWindow;
    // Closes the tunnel and clears the WAN stations before the log ends.
    m_hub.reset();
    m_log.EndDebugLog();
}

bool CKavlinkMain::AwaitingTrayHost() const {
    return m_trayIcon.TrayHost() == CSystemTray::Host::Awaited;
}

void CKavlinkMain::Start() {
    m_panel.OnInitDialog();
    m_trayIcon.CreateTrayIcon("Kavlink", m_mainIcon);
    if (AwaitingTrayHost()) {
        // On a desktop without a notification area nothing would show that Kavlink runs.
        std::fputs("Kavlink: no notification area found; the about panel stays open with "
                   "Options..., Status... and Exit until one appears, and the icon then shows "
                   "there.\n",
                   stderr);
    }
    m_panel.UpdatePanel();
    m_trayIcon.LoadAnimationIcons(IDI_FRAME_FIRST, IDI_FRAME_LAST);
    m_trayIcon.ChangeDefaultMenuItem(TrayCommand::Options);
    LoadSettings(m_store, m_settings);
    ApplyProfile(m_store, m_settings, m_profileName);
    UpdateTooltip();
    m_log.StartDebugLog(m_settings.Debug, m_store.IniPath(), m_configDirectory);
    m_hub->ConnectTunnel();
    m_hub->OpenLan();
}

void CKavlinkMain::NoticeMissingHost(const std::string& iniPath) {
    std::string text = "no tunnel server configured: set Hostname (and Login, Password) in "
                       "section [TunnelSrv] of " +
                       iniPath;
    switch (m_trayIcon.TrayHost()) {
    case CSystemTray::Host::Headless:
        // Read at start only, and there is no dialog to set it.
        text += " (PortNumber too if the server's is not 10368), then start Kavlink again.";
        break;
    case CSystemTray::Host::Awaited:
        text += ", or choose Options... on the about panel.";
        break;
    case CSystemTray::Host::Present:
        text += ", or choose Options... in the tray menu.";
        break;
    }
    std::fprintf(stderr, "Kavlink: %s\n", text.c_str());
    m_log.LogLine(1, "%s", text.c_str());
    if (m_trayIcon.TrayHost() != CSystemTray::Host::Headless) {
        m_noticePending = true;
        ShowPendingNotice();
    }
}

// Once, as soon as a tray host shows the icon it points at; not at all once a server has been
// set meanwhile (the panel's own Options... before the host came).
void CKavlinkMain::ShowPendingNotice() {
    if (!m_settings.Hostname.empty())
        m_noticePending = false;
    if (m_noticePending && m_trayIcon.ShowMessage("Kavlink", kNoServerMessage))
        m_noticePending = false;
}

void CKavlinkMain::OnCommand(TrayCommand command) {
    switch (command) {
    case TrayCommand::About:
        m_panel.ShowAboutPanel();
        break;
    case TrayCommand::Status:
        ShowStatus();
        break;
    case TrayCommand::Options:
        RunOptionsDialog();
        break;
    case TrayCommand::Usage:
        ShowUsage();
        break;
    case TrayCommand::Exit:
        m_panel.OnOK();
        break;
    }
}

// Modeless: the tray and the other windows go on working while it is open.
void CKavlinkMain::ShowUsage() {
    const std::string usage = UsageText();
    CMessageBox::Notify(QMessageBox::Information, QString::fromStdString(usage), UsageShown(usage));
}

QString CKavlinkMain::UsageShown(const std::string& usage) {
    // Qt's line breaking knows no "keep together" for a run of text, so inside an option the
    // blanks do not break and a word joiner follows each hyphen and bar; the blanks between
    // the options are the only places left to break the line.
    const QChar noBreakSpace(0x00A0);
    const QChar wordJoiner(0x2060);
    QString shown;
    int depth = 0;
    for (const char c : usage) {
        depth += c == '[' ? 1 : c == ']' ? -1 : 0;
        if (depth == 0) {
            shown += QLatin1Char(c);
        } else if (c == ' ') {
            shown += noBreakSpace;
        } else {
            shown += QLatin1Char(c);
            if (c == '-' || c == '|')
                shown += wordJoiner;
        }
    }
    return shown;
}

void CKavlinkMain::RunOptionsDialog() {
    if (m_optionsDialog != nullptr) {
        // Already open: bring it to the front instead of a second one.
        m_optionsDialog->raise();
        m_optionsDialog->activateWindow();
        return;
    }
    COptionsDlg dialog(m_store, m_settings);
    m_optionsDialog = &dialog;
    const int result = dialog.exec();
    m_optionsDialog = nullptr;
    if (result != QDialog::Accepted)
        return;
    m_settings = dialog.settings;
    SaveSettings(m_store, m_settings);
    UpdateTooltip();
    m_hub->ConnectTunnel(true);
    m_hub->OpenLan();
}

void CKavlinkMain::ShowStatus() {
    if (m_statusWindow == nullptr) {
        // A window of its own, not a child of the panel, which hides.
        m_statusWindow = new CStatusDlg([this] { return StatusText(m_hub->Status()); });
        m_statusWindow->setAttribute(Qt::WA_DeleteOnClose);
        m_statusWindow->setWindowIcon(m_mainIcon);
    }
    m_statusWindow->show();
    m_statusWindow->raise();
    m_statusWindow->activateWindow();
}

void CKavlinkMain::WriteStatus() {
    const std::string text = StatusText(m_hub->Status());
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        if (end > start)
            m_log.LogLine(1, "%s", text.substr(start, end - start).c_str());
    }
}

void CKavlinkMain::ShowTunnelName(const std::string& tunnelName) {
    m_panel.ShowTunnelName(tunnelName);
    m_tooltip = "Kavlink (" + tunnelName + ")";
    UpdateTooltip();
}

void CKavlinkMain::UpdateTooltip() {
    m_trayIcon.ChangeTooltip(m_tooltip, EncryptionTail(m_settings));
}

// A tray host that goes leaves nothing on the screen to reach Kavlink by: the panel comes back
// with its buttons, and hides as at start once a host shows the icon again.
void CKavlinkMain::OnTrayHostChanged(CSystemTray::Host host) {
    m_panel.UpdatePanel();
    if (host != CSystemTray::Host::Awaited) {
        m_log.LogLine(1, "Notification area back");
        return;
    }
    std::fputs("Kavlink: the notification area went away; the about panel stays open with "
               "Options..., Status... and Exit until one appears again.\n",
               stderr);
    m_log.LogLine(1, "Notification area gone: about panel shown");
    m_panel.ShowAboutPanel();
}

bool CKavlinkMain::ShowForSecondStart() {
    if (m_trayIcon.TrayHost() == CSystemTray::Host::Headless) {
        m_log.LogLine(1, "Another start of Kavlink asked for this one; no display to show it on");
        return false;
    }
    m_log.LogLine(1, "Another start of Kavlink asked for this one: status window shown");
    ShowStatus();
    // A dialog that waits for an answer stays in front.
    if (m_optionsDialog != nullptr) {
        m_optionsDialog->raise();
        m_optionsDialog->activateWindow();
    }
    return true;
}
