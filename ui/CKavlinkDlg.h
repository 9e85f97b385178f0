#pragma once

#include "CDebugLog.h"
#include "COptionsDlg.h"
#include "CStatusDlg.h"
#include "KavlinkCommands.h"
#include "Settings.h"

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

class CLabel;
class QLabel;
class QPushButton;

class CSettingsStore;
class CSystemTray;
class CTunnelHub;

// The main window: a small borderless about panel shown for five seconds at start and on
// request, and the hub that owns the settings, the debug log, the tray icon and the relay
// for the whole run. "Exit" while the panel is hidden ends the application loop.
class CKavlinkDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int kHideMs = 5000;

    CKavlinkDlg(CSettingsStore& store, std::string configDirectory, QWidget* parent = nullptr);
    ~CKavlinkDlg() override;

    void SetProfileName(std::string name) { m_profileName = std::move(name); }
    // Starts everything, in order: window and tray, settings, profile, log, tunnel, LAN.
    bool OnInitDialog();
    // A first start without a tunnel server: says where to set one, on standard error, in
    // the log and once in a notification beside the tray icon (when one shows it).
    void NoticeMissingHost(const std::string& iniPath);

    // Tray menu commands and the dialog's own buttons.
    void OnCommand(TrayCommand command);
    void ShowAboutPanel();
    void HideMainWindow();
    void RunOptionsDialog();
    // The status window; a second call brings the open one forward.
    void ShowStatus();
    // The status as text to standard error and, at debug level 1 or more, to the log.
    void WriteStatus();
    void ShowUsage();
    // The usage text as the box shows it: lines break between the options, never inside one.
    static QString UsageShown(const std::string& usage);
    void OnOK();
    void OnCancel();

    // What the relay shows: "Kavlink (~NAME)" as title and tooltip, and the tray's
    // animation while the tunnel is connected.
    void ShowTunnelName(const std::string& tunnelName);
    void StartConnectionAnimation();
    void EndConnectionAnimation();

    const Settings& CurrentSettings() const { return m_settings; }
    CDebugLog& DebugLog() { return m_log; }
    CTunnelHub& Hub() { return *m_hub; }
    CSystemTray& TrayIcon() { return *m_trayIcon; }
    // Without a tray host the panel stays up with buttons for what the tray menu would give.
    bool HasPanelButtons() const;
    bool IsHideTimerRunning() const { return m_hideTimer.isActive(); }
    int HideTimerRemaining() const { return m_hideTimer.remainingTime(); }
    COptionsDlg* OpenOptionsDialog() const { return m_optionsDialog; }
    CStatusDlg* OpenStatusWindow() const { return m_statusWindow; }

signals:
    // "Exit" while hidden: the application loop is about to end.
    void exitRequested();

protected:
    void accept() override;
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    void BuildPanel();
    bool AwaitingTrayHost() const;
    // The panel as the tray host's presence wants it: with or without its buttons.
    void UpdatePanel();
    void ShowPendingNotice();
    // "Exit" whatever the panel shows.
    void EndProgram();

    CSettingsStore& m_store;
    std::string m_configDirectory;
    std::string m_profileName;
    Settings m_settings;
    CDebugLog m_log;
    QIcon m_mainIcon;
    CLabel* m_versionLabel = nullptr;
    QLabel* m_credit = nullptr;
    std::vector<QPushButton*> m_panelButtons;
    bool m_noticePending = false;
    QTimer m_hideTimer;
    std::unique_ptr<CSystemTray> m_trayIcon;
    std::unique_ptr<CTunnelHub> m_hub;
    QPointer<COptionsDlg> m_optionsDialog;
    QPointer<CStatusDlg> m_statusWindow;
};
