#include "CKavlinkDlg.h"

#include "CLabel.h"
#include "CMessageBox.h"
#include "COptionsDlg.h"
#include "CSettingsStore.h"
#include "CStatusDlg.h"
#include "CSystemTray.h"
#include "CTunnelHub.h"
#include "CommandLine.h"
#include "DialogUnits.h"
#include "KavlinkCommands.h"
#include "KavlinkIcons.h"
#include "StatusText.h"
#include "StringTable.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>

#include <cstdio>

namespace {
// The about panel's layout, in dialog units.
constexpr QSize kPanelSize(222, 54);
constexpr QRect kIconRect(7, 14, 20, 20);
constexpr QRect kVersionRect(34, 7, 181, 11);
constexpr QRect kCreditRect(35, 29, 180, 19);
constexpr const char* kCredit = "Joins this site's logging network to the other sites.\n"
                                "Right-click the tray icon for its options.";
// Without a tray host, a row of buttons below the template stands for the tray menu.
constexpr QSize kPanelWithButtonsSize(222, 75);
constexpr const char* kCreditNoTray = "Joins this site's logging network to the other sites.\n"
                                      "No notification area to show its icon yet:";
struct PanelButton {
    TrayCommand command;
    const char* name;
    const char* text;
    QRect du;
};
constexpr PanelButton kPanelButtons[] = {
    {TrayCommand::Options, "options", "Options...", QRect(53, 54, 50, 14)},
    {TrayCommand::Status, "status", "Status...", QRect(109, 54, 50, 14)},
    {TrayCommand::Exit, "exit", "Exit", QRect(165, 54, 50, 14)},
};
constexpr const char* kNoServerMessage =
    "No tunnel server is configured. Choose Options... in this icon's menu to set one.";
} // namespace

CKavlinkDlg::CKavlinkDlg(CSettingsStore& store, std::string configDirectory, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint), m_store(store),
      m_configDirectory(std::move(configDirectory)), m_mainIcon(LoadKavlinkIcon(IDI_MAIN)) {
    m_hub = std::make_unique<CTunnelHub>(m_settings, m_log);
    connect(m_hub.get(), &CTunnelHub::tunnelNamed, this, &CKavlinkDlg::ShowTunnelName);
    connect(m_hub.get(), &CTunnelHub::tunnelConnected, this,
            &CKavlinkDlg::StartConnectionAnimation);
    connect(m_hub.get(), &CTunnelHub::tunnelEnded, this, &CKavlinkDlg::EndConnectionAnimation);
    m_trayIcon = std::make_unique<CSystemTray>(this);
    connect(m_trayIcon.get(), &CSystemTray::commandChosen, this, &CKavlinkDlg::OnCommand);
    m_hideTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_hideTimer, &QTimer::timeout, this, &CKavlinkDlg::HideMainWindow);
    BuildPanel();
}

CKavlinkDlg::~CKavlinkDlg() {
    // It reads the hub.
    delete m_statusWindow;
    // Closes the tunnel and clears the WAN stations before the log ends.
    m_hub.reset();
    m_log.EndDebugLog();
}

void CKavlinkDlg::BuildPanel() {
    const DialogUnits units(DialogUnits::DialogFont());
    setFont(DialogUnits::DialogFont());
    setFixedSize(units.ToPixels(kPanelSize));
    auto* icon = new QLabel(this);
    units.Place(*icon, kIconRect);
    icon->setPixmap(m_mainIcon.pixmap(icon->size()));
    icon->setAlignment(Qt::AlignCenter);
    m_versionLabel = new CLabel(this);
    m_versionLabel->setObjectName("version");
    m_versionLabel->setText("Kavlink");
    units.Place(*m_versionLabel, kVersionRect);
    m_credit = new QLabel(QString::fromLatin1(kCredit), this);
    m_credit->setObjectName("credit");
    units.Place(*m_credit, kCreditRect);
    m_credit->setWordWrap(false);
    // Clicks on the texts reach the panel, which hides.
    for (QWidget* w : {static_cast<QWidget*>(icon), static_cast<QWidget*>(m_versionLabel),
                       static_cast<QWidget*>(m_credit)})
        w->setAttribute(Qt::WA_TransparentForMouseEvents);
    for (const PanelButton& entry : kPanelButtons) {
        auto* button = new QPushButton(QString::fromLatin1(entry.text), this);
        button->setObjectName(QString::fromLatin1(entry.name));
        // Enter and Escape keep their meaning on the panel.
        button->setAutoDefault(false);
        units.Place(*button, entry.du);
        button->hide();
        const TrayCommand command = entry.command;
        connect(button, &QPushButton::clicked, this, [this, command] {
            command == TrayCommand::Exit ? EndProgram() : OnCommand(command);
        });
        m_panelButtons.push_back(button);
    }
}

bool CKavlinkDlg::AwaitingTrayHost() const {
    return m_trayIcon->TrayHost() == CSystemTray::Host::Awaited;
}

bool CKavlinkDlg::HasPanelButtons() const {
    return !m_panelButtons.empty() && !m_panelButtons.front()->isHidden();
}

void CKavlinkDlg::UpdatePanel() {
    const bool buttons = AwaitingTrayHost();
    if (buttons == HasPanelButtons())
        return;
    for (QPushButton* button : m_panelButtons)
        button->setVisible(buttons);
    m_credit->setText(QString::fromLatin1(buttons ? kCreditNoTray : kCredit));
    setFixedSize(DialogUnits(font()).ToPixels(buttons ? kPanelWithButtonsSize : kPanelSize));
}

bool CKavlinkDlg::OnInitDialog() {
    setWindowIcon(m_mainIcon);
    setWindowTitle("Kavlink");
    m_hideTimer.start(kHideMs);
    m_trayIcon->CreateTrayIcon("Kavlink", m_mainIcon);
    if (AwaitingTrayHost()) {
        // On a desktop without a notification area nothing would show that Kavlink runs.
        std::fputs("Kavlink: no notification area found; the about panel stays open with "
                   "Options..., Status... and Exit until one appears, and the icon then shows "
                   "there.\n",
                   stderr);
    }
    UpdatePanel();
    m_trayIcon->LoadAnimationIcons(IDI_FRAME_FIRST, IDI_FRAME_LAST);
    m_trayIcon->ChangeDefaultMenuItem(TrayCommand::Options);
    m_versionLabel->SetLabelText(
        QString("Kavlink version %1").arg(QString::fromStdString(LoadKavlinkString(IDS_VERSION))));
    m_versionLabel->SetBold(true);
    // 18 px at the template's 8 pt is the height of the version line; it grows with the font.
    m_versionLabel->SetTextHeight(DialogUnits(font()).Y(kVersionRect.height()));
    LoadSettings(m_store, m_settings);
    ApplyProfile(m_store, m_settings, m_profileName);
    m_log.StartDebugLog(m_settings.Debug, m_store.IniPath(), m_configDirectory);
    m_hub->ConnectTunnel();
    m_hub->OpenLan();
    return true;
}

void CKavlinkDlg::NoticeMissingHost(const std::string& iniPath) {
    std::string text = "no tunnel server configured: set Hostname (and Login, Password) in "
                       "section [TunnelSrv] of " +
                       iniPath;
    switch (m_trayIcon->TrayHost()) {
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
    if (m_trayIcon->TrayHost() != CSystemTray::Host::Headless) {
        m_noticePending = true;
        ShowPendingNotice();
    }
}

// Once, as soon as a tray host shows the icon it points at; not at all once a server has been
// set meanwhile (the panel's own Options... before the host came).
void CKavlinkDlg::ShowPendingNotice() {
    if (!m_settings.Hostname.empty())
        m_noticePending = false;
    if (m_noticePending && m_trayIcon->ShowMessage("Kavlink", kNoServerMessage))
        m_noticePending = false;
}

// ---- Commands

void CKavlinkDlg::OnCommand(TrayCommand command) {
    switch (command) {
    case TrayCommand::About:
        ShowAboutPanel();
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
        OnOK();
        break;
    }
}

void CKavlinkDlg::ShowAboutPanel() {
    show();
    raise();
    activateWindow();
    m_hideTimer.start(kHideMs);
}

void CKavlinkDlg::HideMainWindow() {
    m_hideTimer.stop();
    UpdatePanel();
    if (AwaitingTrayHost()) {
        // Without a tray host the panel is the only way in: it stays, and hides once a host
        // has appeared.
        m_hideTimer.start(kHideMs);
        return;
    }
    ShowPendingNotice();
    hide();
}

void CKavlinkDlg::OnOK() {
    if (isVisible()) {
        HideMainWindow();
        return;
    }
    EndProgram();
}

void CKavlinkDlg::EndProgram() {
    emit exitRequested();
    QCoreApplication::exit(0);
}

void CKavlinkDlg::OnCancel() {
    if (isVisible())
        HideMainWindow();
}

// Modeless: the tray and the other windows go on working while it is open.
void CKavlinkDlg::ShowUsage() {
    const std::string usage = UsageText();
    CMessageBox::Notify(QMessageBox::Information, QString::fromStdString(usage), UsageShown(usage));
}

QString CKavlinkDlg::UsageShown(const std::string& usage) {
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

void CKavlinkDlg::RunOptionsDialog() {
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
    m_hub->ConnectTunnel(true);
    m_hub->OpenLan();
}

void CKavlinkDlg::ShowStatus() {
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

void CKavlinkDlg::WriteStatus() {
    const std::string text = StatusText(m_hub->Status());
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        if (end > start)
            m_log.LogLine(1, "%s", text.substr(start, end - start).c_str());
    }
}

// ---- What the relay shows

void CKavlinkDlg::ShowTunnelName(const std::string& tunnelName) {
    const std::string title = "Kavlink (" + tunnelName + ")";
    setWindowTitle(QString::fromLatin1(title.data(), static_cast<qsizetype>(title.size())));
    m_trayIcon->ChangeTooltip(title);
}

void CKavlinkDlg::StartConnectionAnimation() {
    m_trayIcon->StartAnimation(800, -1);
}

void CKavlinkDlg::EndConnectionAnimation() {
    m_trayIcon->EndAnimation();
}

// ---- Window events

void CKavlinkDlg::accept() {
    OnOK();
}

void CKavlinkDlg::reject() {
    OnCancel();
}

void CKavlinkDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        OnOK();
        break;
    case Qt::Key_Escape:
        OnCancel();
        break;
    case Qt::Key_F1:
        // Help is declined.
        break;
    default:
        QDialog::keyPressEvent(event);
        break;
    }
}

void CKavlinkDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        HideMainWindow();
    QDialog::mousePressEvent(event);
}

void CKavlinkDlg::paintEvent(QPaintEvent* event) {
    if (!isMinimized()) {
        QDialog::paintEvent(event);
        // A thin edge, so that the borderless panel stands out on a light desktop too.
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::Dark));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        return;
    }
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const int side = style()->pixelMetric(QStyle::PM_LargeIconSize);
    painter.drawPixmap((width() - side + 1) / 2, (height() - side + 1) / 2,
                       m_mainIcon.pixmap(side, side));
}

bool CKavlinkDlg::event(QEvent* event) {
    if (event->type() == QEvent::WhatsThis || event->type() == QEvent::EnterWhatsThisMode)
        return true;
    return QDialog::event(event);
}
