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
#include "KavlinkEvents.h"
#include "KavlinkIcons.h"
#include "StatusText.h"
#include "StringTable.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QStyle>

#include <cstdio>

namespace {
// The about panel's template, in dialog units.
constexpr QSize kPanelSize(222, 54);
constexpr QRect kIconRect(7, 14, 20, 20);
constexpr QRect kVersionRect(34, 7, 181, 11);
constexpr QRect kCreditRect(35, 29, 180, 19);
constexpr int kVersionLabelId = 1000;
constexpr const char* kCredit = "Joins this site's logging network to the other sites.\n"
                                "Right-click the tray icon for its options.";
} // namespace

CKavlinkDlg::CKavlinkDlg(CSettingsStore& store, std::string configDirectory, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint), m_store(store),
      m_configDirectory(std::move(configDirectory)), m_mainIcon(LoadKavlinkIcon(IDI_MAIN)) {
    m_hub = std::make_unique<CTunnelHub>(m_settings, m_log, this);
    m_trayIcon = std::make_unique<CSystemTray>(this, [this](int id) { OnCommand(id); });
    m_hideTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_hideTimer, &QTimer::timeout, this, [this] { OnTimer(TIMER_HIDE); });
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
    m_versionLabel->setObjectName(QString::number(kVersionLabelId));
    m_versionLabel->setText("Kavlink");
    units.Place(*m_versionLabel, kVersionRect);
    auto* credit = new QLabel(QString::fromLatin1(kCredit), this);
    units.Place(*credit, kCreditRect);
    credit->setWordWrap(false);
    // Clicks on the texts reach the panel, which hides.
    for (QWidget* w : {static_cast<QWidget*>(icon), static_cast<QWidget*>(m_versionLabel),
                       static_cast<QWidget*>(credit)})
        w->setAttribute(Qt::WA_TransparentForMouseEvents);
}

bool CKavlinkDlg::OnInitDialog() {
    setWindowIcon(m_mainIcon);
    setWindowTitle("Kavlink");
    m_hideTimer.start(kHideMs);
    const bool trayIcon =
        m_trayIcon->CreateTrayIcon(WM_TRAY_NOTIFY, "Kavlink", m_mainIcon, IDR_TRAY_MENU);
    if (!trayIcon && CMessageBox::CanAsk()) {
        // On a desktop without a notification area nothing would show that Kavlink runs.
        std::fputs("Kavlink: no notification area found; the about panel stays open until one "
                   "appears, and the icon then shows there (stop Kavlink with Ctrl+C or "
                   "SIGTERM).\n",
                   stderr);
    }
    m_trayIcon->LoadAnimationIcons(IDI_FRAME_FIRST, IDI_FRAME_LAST);
    m_trayIcon->ChangeDefaultMenuItem(CMD_OPTIONS);
    m_versionLabel->SetLabelText(
        QString("Kavlink version %1").arg(QString::fromStdString(LoadKavlinkString(IDS_VERSION))));
    m_versionLabel->SetBold(true);
    m_versionLabel->SetTextHeight(18);
    LoadSettings(m_store, m_settings);
    ApplyProfile(m_store, m_settings, m_profileName);
    m_log.StartDebugLog(m_settings.Debug, m_store.IniPath(), m_configDirectory);
    m_hub->ConnectTunnel();
    m_hub->OpenLan();
    return true;
}

// ---- Commands

void CKavlinkDlg::OnCommand(int commandId) {
    switch (commandId) {
    case CMD_ABOUT:
        ShowAboutPanel();
        break;
    case CMD_STATUS:
        ShowStatus();
        break;
    case CMD_OPTIONS:
        RunOptionsDialog();
        break;
    case CMD_USAGE:
        ShowUsage();
        break;
    case IDOK_EXIT:
        OnOK();
        break;
    default:
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
    if (CMessageBox::CanAsk() && !m_trayIcon->HostAvailable()) {
        // Without a tray host the panel is the only way in: it stays, and hides once a host
        // has appeared.
        m_hideTimer.start(kHideMs);
        return;
    }
    hide();
}

void CKavlinkDlg::OnTimer(int id) {
    if (id == TIMER_HIDE)
        HideMainWindow();
}

void CKavlinkDlg::OnOK() {
    if (isVisible()) {
        HideMainWindow();
        return;
    }
    emit exitRequested();
    QCoreApplication::exit(0);
}

void CKavlinkDlg::OnCancel() {
    if (isVisible())
        HideMainWindow();
}

// Modeless: the tray and the other windows go on working while it is open.
void CKavlinkDlg::ShowUsage() {
    CMessageBox::Notify(QMessageBox::Information, QString::fromStdString(UsageText()));
}

void CKavlinkDlg::RunOptionsDialog() {
    if (m_optionsDialog != nullptr) {
        // Already open: bring it to the front instead of a second one.
        m_optionsDialog->raise();
        m_optionsDialog->activateWindow();
        return;
    }
    COptionsDlg dialog(m_store);
    m_optionsDialog = &dialog;
    dialog.broadcastAddress = m_settings.BroadcastAddress;
    dialog.tunnelHost = m_settings.Hostname;
    dialog.login = m_settings.Login;
    dialog.password = m_settings.Password;
    dialog.tunnelPort = m_settings.TunnelPortNumber;
    dialog.lanPort = m_settings.LanPortNumber;
    dialog.keepAlive = m_settings.HeartBeat != 0;
    dialog.filterTimeSync = m_settings.FilterTimeSync != 0;
    const int result = dialog.exec();
    m_optionsDialog = nullptr;
    if (result != QDialog::Accepted)
        return;
    m_settings.BroadcastAddress = dialog.broadcastAddress;
    m_settings.Hostname = dialog.tunnelHost;
    m_settings.Login = dialog.login;
    m_settings.Password = dialog.password;
    m_settings.TunnelPortNumber = dialog.tunnelPort;
    m_settings.LanPortNumber = dialog.lanPort;
    m_settings.HeartBeat = dialog.keepAlive ? 1 : 0;
    m_settings.FilterTimeSync = dialog.filterTimeSync ? 1 : 0;
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
