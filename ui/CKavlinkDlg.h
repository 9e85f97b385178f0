#pragma once

#include "KavlinkCommands.h"

#include <QDialog>
#include <QIcon>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

class CLabel;
class QLabel;
class QPushButton;

// The main window: a small borderless about panel shown for five seconds at start and on
// request. Without a tray host it stays up with buttons for what the tray menu would give.
// "Exit" while the panel is hidden ends the application loop.
class CKavlinkDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int kHideMs = 5000;

    // awaitingTrayHost: whether a desktop has no tray host yet, asked afresh each time.
    explicit CKavlinkDlg(std::function<bool()> awaitingTrayHost, QWidget* parent = nullptr);
    ~CKavlinkDlg() override;

    // Shows the panel with its version line and starts the hide timer.
    void OnInitDialog();
    void ShowAboutPanel();
    void HideMainWindow();
    void OnOK();
    void OnCancel();
    // "Kavlink (~NAME)" as the title.
    void ShowTunnelName(const std::string& tunnelName);

    // Without a tray host the panel stays up with buttons for what the tray menu would give.
    bool HasPanelButtons() const;
    bool IsHideTimerRunning() const { return m_hideTimer.isActive(); }
    int HideTimerRemaining() const { return m_hideTimer.remainingTime(); }
    int HideTimerPeriod() const { return m_hideTimer.interval(); }
    // The panel as the tray host's presence wants it: with or without its buttons.
    void UpdatePanel();

signals:
    // A button of the panel, standing for the tray menu.
    void commandChosen(TrayCommand command);
    // The panel hid (the tray host shows the icon by now, if there is one).
    void panelHidden();
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
    // "Exit" whatever the panel shows.
    void EndProgram();

    std::function<bool()> m_awaitingTrayHost;
    QIcon m_mainIcon;
    CLabel* m_versionLabel = nullptr;
    QLabel* m_credit = nullptr;
    std::vector<QPushButton*> m_panelButtons;
    QTimer m_hideTimer;
};
