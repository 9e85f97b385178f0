#include "CKavlinkDlg.h"

#include "CLabel.h"
#include "DialogUnits.h"
#include "KavlinkCommands.h"
#include "KavlinkIcons.h"
#include "StringTable.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>

#include <algorithm>

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
// Their keys are the tray menu's.
constexpr PanelButton kPanelButtons[] = {
    {TrayCommand::Options, "options", "&Options...", QRect(53, 54, 50, 14)},
    {TrayCommand::Status, "status", "&Status...", QRect(109, 54, 50, 14)},
    {TrayCommand::Exit, "exit", "E&xit", QRect(165, 54, 50, 14)},
};

// The program's icon drawn from its artwork each time, in the largest square of its template
// rectangle: it grows with the font and stays sharp at any scale, where a bitmap of the icon
// would stop at its largest size and blur when scaled.
class PanelIcon : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        const int side = std::min(width(), height());
        QPainter painter(this);
        PaintKavlinkIcon(painter, QRectF((width() - side) / 2, (height() - side) / 2, side, side),
                         IDI_MAIN);
    }
};
} // namespace

CKavlinkDlg::CKavlinkDlg(std::function<bool()> awaitingTrayHost, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      m_awaitingTrayHost(std::move(awaitingTrayHost)), m_mainIcon(LoadKavlinkIcon(IDI_MAIN)) {
    m_hideTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_hideTimer, &QTimer::timeout, this, &CKavlinkDlg::HideMainWindow);
    BuildPanel();
}

CKavlinkDlg::~CKavlinkDlg() = default;

void CKavlinkDlg::BuildPanel() {
    const DialogUnits units(DialogUnits::DialogFont());
    setFont(DialogUnits::DialogFont());
    setFixedSize(units.ToPixels(kPanelSize));
    auto* icon = new PanelIcon(this);
    icon->setObjectName("icon");
    units.Place(*icon, kIconRect);
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
            command == TrayCommand::Exit ? EndProgram() : emit commandChosen(command);
        });
        m_panelButtons.push_back(button);
    }
}

bool CKavlinkDlg::HasPanelButtons() const {
    return !m_panelButtons.empty() && !m_panelButtons.front()->isHidden();
}

void CKavlinkDlg::UpdatePanel() {
    const bool buttons = m_awaitingTrayHost();
    if (buttons == HasPanelButtons())
        return;
    for (QPushButton* button : m_panelButtons)
        button->setVisible(buttons);
    m_credit->setText(QString::fromLatin1(buttons ? kCreditNoTray : kCredit));
    setFixedSize(DialogUnits(font()).ToPixels(buttons ? kPanelWithButtonsSize : kPanelSize));
}

void CKavlinkDlg::OnInitDialog() {
    setWindowIcon(m_mainIcon);
    setWindowTitle("Kavlink");
    m_hideTimer.start(kHideMs);
    UpdatePanel();
    m_versionLabel->SetLabelText(
        QString("Kavlink version %1").arg(QString::fromStdString(LoadKavlinkString(IDS_VERSION))));
    m_versionLabel->SetBold(true);
    // 18 px at the layout's 8 pt is the height of the version line; it grows with the font.
    m_versionLabel->SetTextHeight(DialogUnits(font()).Y(kVersionRect.height()));
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
    if (m_awaitingTrayHost()) {
        // Without a tray host the panel is the only way in: it stays, and hides once a host
        // has appeared.
        m_hideTimer.start(kHideMs);
        return;
    }
    hide();
    emit panelHidden();
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

// ---- What the relay shows

void CKavlinkDlg::ShowTunnelName(const std::string& tunnelName) {
    const std::string title = "Kavlink (" + tunnelName + ")";
    setWindowTitle(QString::fromLatin1(title.data(), static_cast<qsizetype>(title.size())));
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
