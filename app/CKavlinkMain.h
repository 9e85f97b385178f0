#pragma once

#include "CDebugLog.h"
#include "CKavlinkDlg.h"
#include "COptionsDlg.h"
#include "CStatusDlg.h"
#include "CSystemTray.h"
#include "CTunnelHub.h"
#include "KavlinkCommands.h"
#include "Settings.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <string>

class CSettingsStore;

// The running program: its settings, debug log, relay hub, tray icon and windows, put
// together and started in order. The windows and the tray ask it for commands; the hub tells
// them what to show.
class CKavlinkMain : public QObject {
    Q_OBJECT

public:
    CKavlinkMain(CSettingsStore& store, std::string configDirectory, QObject* parent = nullptr);
    ~CKavlinkMain() override;

    void SetProfileName(std::string name) { m_profileName = std::move(name); }
    // Starts everything, in order: panel and tray, settings, profile, log, tunnel, LAN.
    void Start();
    // A first start without a tunnel server: says where to set one, on standard error, in
    // the log and once in a notification beside the tray icon (when one shows it).
    void NoticeMissingHost(const std::string& iniPath);

    void OnCommand(TrayCommand command);
    void RunOptionsDialog();
    // The status window; a second call brings the open one forward.
    void ShowStatus();
    // The status as text to standard error and, at debug level 1 or more, to the log.
    void WriteStatus();
    // Another start of Kavlink asked for this one: the status window comes to the front, where
    // it stays, unlike the panel. False where there is no display to show it on.
    bool ShowForSecondStart();
    void ShowUsage();
    // The usage text as the box shows it: lines break between the options, never inside one.
    static QString UsageShown(const std::string& usage);

    const Settings& CurrentSettings() const { return m_settings; }
    CDebugLog& DebugLog() { return m_log; }
    CTunnelHub& Hub() { return *m_hub; }
    CSystemTray& TrayIcon() { return m_trayIcon; }
    CKavlinkDlg& Panel() { return m_panel; }
    COptionsDlg* OpenOptionsDialog() const { return m_optionsDialog; }
    CStatusDlg* OpenStatusWindow() const { return m_statusWindow; }

private:
    bool AwaitingTrayHost() const;
    void ShowTunnelName(const std::string& tunnelName);
    void ShowPendingNotice();
    void OnTrayHostChanged(CSystemTray::Host host);
    // "Kavlink (~NAME)" or "Kavlink", then whether the tunnel is encrypted.
    void UpdateTooltip();

    CSettingsStore& m_store;
    std::string m_configDirectory;
    std::string m_profileName;
    Settings m_settings;
    CDebugLog m_log;
    QIcon m_mainIcon;
    bool m_noticePending = false;
    std::string m_tooltip = "Kavlink";
    CKavlinkDlg m_panel;
    // After the panel, which it brings forward, and gone before it.
    CSystemTray m_trayIcon;
    // Ended before the log, which its last lines go to.
    std::unique_ptr<CTunnelHub> m_hub;
    QPointer<COptionsDlg> m_optionsDialog;
    QPointer<CStatusDlg> m_statusWindow;
};
