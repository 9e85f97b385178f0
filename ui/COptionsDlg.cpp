#include "COptionsDlg.h"

#include "CGenericStringDlg.h"
#include "CMessageBox.h"
#include "DialogUnits.h"
#include "StoredText.h"
#include "StringTable.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <iterator>

namespace {
// A control of the template by its id, of the type the template gives it; anything else is a
// fault in the template, caught at once.
template <typename T> T* Control(QWidget& dialog, int id) {
    T* const control = qobject_cast<T*>(
        dialog.findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly));
    if (control == nullptr)
        qFatal("Options dialog: control %d missing or of another kind", id);
    return control;
}

constexpr int kNoId = -1;
constexpr int kPortCharsRead = 63;
constexpr std::int32_t kPortMin = 1;
constexpr std::int32_t kPortMax = 65535;

enum class Kind { Group, RightText, Text, Edit, Check, Button, DefaultButton };

struct Item {
    int id;
    Kind kind;
    int x, y, width, height;
    const char* text;
};

// Template 135 in its own order, which is also the stacking order; profile buttons come after.
constexpr Item kTemplate[] = {
    {kNoId, Kind::Group, 7, 9, 194, 190, "Tunnel server information"},
    {kNoId, Kind::RightText, 13, 23, 82, 9, "Hostname or IP address:"},
    {COptionsDlg::IDC_TUNNEL_HOST, Kind::Edit, 100, 20, 87, 12, ""},
    {kNoId, Kind::RightText, 23, 37, 72, 9, "Port number:"},
    {COptionsDlg::IDC_TUNNEL_PORT, Kind::Edit, 100, 34, 87, 12, ""},
    {kNoId, Kind::RightText, 23, 53, 72, 9, "Login:"},
    {COptionsDlg::IDC_LOGIN, Kind::Edit, 100, 50, 87, 12, ""},
    {kNoId, Kind::RightText, 23, 68, 72, 9, "Password:"},
    {COptionsDlg::IDC_PASSWORD, Kind::Edit, 100, 65, 87, 12, ""},
    {kNoId, Kind::Group, 17, 81, 176, 51, "Load"},
    {kNoId, Kind::Group, 16, 138, 176, 53, "Save as (shift-click to rename)"},
    {kNoId, Kind::Group, 210, 9, 191, 44, "Local network information"},
    {kNoId, Kind::RightText, 218, 23, 72, 9, "Broadcast IP address:"},
    {COptionsDlg::IDC_BROADCAST_ADDRESS, Kind::Edit, 295, 20, 87, 12, ""},
    {kNoId, Kind::RightText, 246, 39, 44, 9, "Port number:"},
    {COptionsDlg::IDC_LAN_PORT, Kind::Edit, 295, 36, 87, 12, ""},
    {kNoId, Kind::Group, 210, 60, 190, 65, "Advanced settings"},
    {COptionsDlg::IDC_KEEP_ALIVE, Kind::Check, 217, 75, 171, 10,
     "Keep the tunnel connection alive"},
    {kNoId, Kind::Text, 228, 89, 163, 11, "Useful if there is no Zentrik running in the LAN."},
    {COptionsDlg::IDC_FILTER_TIME_SYNC, Kind::Check, 217, 105, 183, 10,
     "Filter time sync. related frames"},
    {COptionsDlg::IDC_OK, Kind::DefaultButton, 245, 174, 50, 14, "OK"},
    {COptionsDlg::IDC_CANCEL, Kind::Button, 307, 174, 50, 14, "Cancel"},
};

// Profile n sits in column (n - 1) % 3 and row (n - 1) / 3 of its group.
constexpr int kProfileColumnX[] = {23, 79, 135};
constexpr int kLoadRowY[] = {92, 110};
constexpr int kSaveRowY[] = {150, 170};

QWidget* CreateItem(const Item& item, QWidget* parent) {
    const QString text = QString::fromLatin1(item.text);
    switch (item.kind) {
    case Kind::Group:
        return new QGroupBox(text, parent);
    case Kind::RightText:
    case Kind::Text: {
        auto* label = new QLabel(text, parent);
        const Qt::Alignment horizontal =
            item.kind == Kind::RightText ? Qt::AlignRight : Qt::AlignLeft;
        label->setAlignment(horizontal | Qt::AlignTop);
        return label;
    }
    case Kind::Edit:
        return new QLineEdit(parent);
    case Kind::Check:
        return new QCheckBox(text, parent);
    case Kind::Button:
    case Kind::DefaultButton: {
        auto* button = new QPushButton(text, parent);
        button->setDefault(item.kind == Kind::DefaultButton);
        return button;
    }
    }
    return nullptr;
}

// "Server %d" with the profile number; a name's "&" is shown, not taken as a mnemonic.
QString ButtonCaption(const std::string& name, int n) {
    if (name.empty()) {
        return QString::fromStdString(LoadKavlinkString(IDS_SERVER_N))
            .replace(QStringLiteral("%d"), QString::number(n));
    }
    return StoredText(name).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

COptionsDlg::Script& NextScript() {
    static COptionsDlg::Script script;
    return script;
}
} // namespace

PortText ReadPortText(const QString& text, std::int32_t& port) {
    const QString head = text.left(kPortCharsRead);
    qsizetype i = 0;
    while (i < head.size() && (head[i] == QLatin1Char(' ') || head[i] == QLatin1Char('\t'))) {
        ++i;
    }
    const qsizetype firstDigit = i;
    std::int64_t value = 0;
    for (; i < head.size() && head[i] >= QLatin1Char('0') && head[i] <= QLatin1Char('9'); ++i) {
        // Past the range the exact value no longer matters; it must only stay past it.
        value = std::min<std::int64_t>(value * 10 + (head[i].unicode() - '0'), kPortMax + 1);
    }
    if (i == firstDigit) {
        return PortText::NotANumber;
    }
    if (value < kPortMin || value > kPortMax) {
        return PortText::OutOfRange;
    }
    port = static_cast<std::int32_t>(value);
    return PortText::Valid;
}

COptionsDlg::COptionsDlg(CSettingsStore& settingsStore, Settings initial, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      settings(std::move(initial)), m_settingsStore(settingsStore),
      m_queryModifiers(&QGuiApplication::keyboardModifiers) {
    // exec() keeps this: the dialog blocks only a parent it may have, never the tray.
    setWindowModality(Qt::WindowModal);
    CreateControls();
}

void COptionsDlg::CreateControls() {
    setWindowTitle(tr("Options..."));
    setFont(DialogUnits::DialogFont());
    const DialogUnits units(font());
    setFixedSize(units.ToPixels(QSize(408, 206)));

    for (const Item& item : kTemplate) {
        QWidget* control = CreateItem(item, this);
        if (item.id != kNoId) {
            control->setObjectName(QString::number(item.id));
        }
        units.Place(*control, QRect(item.x, item.y, item.width, item.height));
    }
    m_tunnelHost = Control<QLineEdit>(*this, IDC_TUNNEL_HOST);
    m_tunnelPort = Control<QLineEdit>(*this, IDC_TUNNEL_PORT);
    m_login = Control<QLineEdit>(*this, IDC_LOGIN);
    m_password = Control<QLineEdit>(*this, IDC_PASSWORD);
    m_broadcastAddress = Control<QLineEdit>(*this, IDC_BROADCAST_ADDRESS);
    m_lanPort = Control<QLineEdit>(*this, IDC_LAN_PORT);
    m_keepAlive = Control<QCheckBox>(*this, IDC_KEEP_ALIVE);
    m_filterTimeSync = Control<QCheckBox>(*this, IDC_FILTER_TIME_SYNC);
    m_ok = Control<QPushButton>(*this, IDC_OK);
    m_cancel = Control<QPushButton>(*this, IDC_CANCEL);
    CreateProfileButtons();

    QWidget* const tabOrder[] = {
        m_tunnelHost, m_tunnelPort, m_login,          m_password, m_broadcastAddress,
        m_lanPort,    m_keepAlive,  m_filterTimeSync, m_ok,       m_cancel};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
    connect(m_ok, &QPushButton::clicked, this, &COptionsDlg::accept);
    connect(m_cancel, &QPushButton::clicked, this, &COptionsDlg::reject);
}

// Not tab stops, and a click leaves the focus where the user was typing.
void COptionsDlg::CreateProfileButtons() {
    const DialogUnits units(font());
    for (int i = 0; i < kServerProfileCount; ++i) {
        const int n = i + 1;
        const int x = kProfileColumnX[i % 3];
        auto* load = new QPushButton(this);
        auto* save = new QPushButton(this);
        load->setObjectName(QString::number(kLoadButtonIds[static_cast<std::size_t>(i)]));
        save->setObjectName(QString::number(kSaveButtonIds[static_cast<std::size_t>(i)]));
        units.Place(*load, QRect(x, kLoadRowY[i / 3], 50, 14));
        units.Place(*save, QRect(x, kSaveRowY[i / 3], 50, 14));
        for (QPushButton* button : {load, save}) {
            button->setText(ButtonCaption({}, n));
            button->setFocusPolicy(Qt::NoFocus);
            button->setAutoDefault(false);
        }
        connect(load, &QPushButton::clicked, this, [this, n] { LoadServer(n); });
        connect(save, &QPushButton::clicked, this, [this, n] { SaveServer(n); });
        m_loadButtons[static_cast<std::size_t>(i)] = load;
        m_saveButtons[static_cast<std::size_t>(i)] = save;
    }
}

void COptionsDlg::OnInitDialog() {
    m_initialised = true;
    UpdateData(false);
    RefreshServerButtons();
    m_tunnelHost->setFocus();
}

bool COptionsDlg::UpdateData(bool saveAndValidate, Take take) {
    if (!saveAndValidate) {
        // The settings keep the bytes behind the shown text, so that an untouched field goes
        // back byte for byte.
        m_broadcastAddress->setText(StoredText(settings.BroadcastAddress));
        m_tunnelHost->setText(StoredText(settings.Hostname));
        m_login->setText(StoredText(settings.Login));
        m_password->setText(StoredText(settings.Password));
        m_tunnelPort->setText(QString::number(settings.TunnelPortNumber));
        m_lanPort->setText(QString::number(settings.LanPortNumber));
        m_keepAlive->setChecked(settings.HeartBeat != 0);
        m_filterTimeSync->setChecked(settings.FilterTimeSync != 0);
        return true;
    }
    // All or nothing: the values change only when every field is good. Checked in tab order,
    // so the first bad field is the one the message names and the focus goes to.
    std::int32_t newTunnelPort = 0;
    std::int32_t newLanPort = 0;
    const bool checkTunnel = take == Take::All;
    if ((checkTunnel && !CheckStorable(*m_tunnelHost, tr("Hostname or IP address"))) ||
        !TakePort(*m_tunnelPort, newTunnelPort) ||
        (checkTunnel &&
         (!CheckStorable(*m_login, tr("Login")) || !CheckStorable(*m_password, tr("Password")))) ||
        !CheckStorable(*m_broadcastAddress, tr("Broadcast IP address")) ||
        !TakePort(*m_lanPort, newLanPort)) {
        return false;
    }
    settings.BroadcastAddress = StoredBytes(m_broadcastAddress->text(), settings.BroadcastAddress);
    settings.Hostname = StoredBytes(m_tunnelHost->text(), settings.Hostname);
    settings.Login = StoredBytes(m_login->text(), settings.Login);
    settings.Password = StoredBytes(m_password->text(), settings.Password);
    settings.TunnelPortNumber = newTunnelPort;
    settings.LanPortNumber = newLanPort;
    settings.HeartBeat = m_keepAlive->isChecked() ? 1 : 0;
    settings.FilterTimeSync = m_filterTimeSync->isChecked() ? 1 : 0;
    return true;
}

bool COptionsDlg::TakePort(QLineEdit& edit, std::int32_t& port) {
    QString message;
    switch (ReadPortText(edit.text(), port)) {
    case PortText::Valid:
        return true;
    case PortText::NotANumber:
        message = tr("Please enter a positive integer.");
        break;
    case PortText::OutOfRange:
        message = tr("Please enter an integer between %1 and %2.").arg(kPortMin).arg(kPortMax);
        break;
    }
    CMessageBox::Show(this, QMessageBox::Warning, message);
    edit.setFocus();
    edit.selectAll();
    return false;
}

// The ini file ends a value at a line break or a NUL: such a value could not be saved, so it is
// refused here, by its field, rather than lost with the whole save.
bool COptionsDlg::CheckStorable(QLineEdit& edit, const QString& fieldName) {
    if (StorableText(edit.text())) {
        return true;
    }
    CMessageBox::Show(this, QMessageBox::Warning,
                      tr("%1 holds a line break or a NUL character, which the settings file "
                         "cannot store. Please remove it.")
                          .arg(fieldName));
    edit.setFocus();
    edit.selectAll();
    return false;
}

void COptionsDlg::RefreshServerButtons() {
    for (int n = 1; n <= kServerProfileCount; ++n) {
        const std::string name = m_settingsStore.ReadServerName(n);
        const QString caption = ButtonCaption(name, n);
        QPushButton* load = m_loadButtons[static_cast<std::size_t>(n - 1)];
        QPushButton* save = m_saveButtons[static_cast<std::size_t>(n - 1)];
        load->setText(caption);
        load->setEnabled(!name.empty());
        save->setText(caption);
        save->setEnabled(true);
        // A long name shows only in part on its button.
        for (QPushButton* button : {load, save}) {
            button->setToolTip(StoredText(name));
        }
    }
}

// Loading replaces the four tunnel fields, so whatever they hold is no reason to refuse; a bad
// LAN field, which stays, still stops the load with its message.
void COptionsDlg::LoadServer(int n) {
    const ServerProfile profile = m_settingsStore.LoadServer(n);
    m_tunnelPort->setText(QString::number(profile.PortNumber));
    if (!UpdateData(true, Take::KeptByLoad)) {
        return;
    }
    UseServerProfile(settings, profile);
    UpdateData(false);
    m_ok->setFocus();
}

// The name is asked first and the ports validated next, before anything is written, so a
// refused name or a bad port never leaves half a profile in the file.
void COptionsDlg::SaveServer(int n) {
    if (m_queryModifiers().testFlag(Qt::ShiftModifier)) {
        RenameServer(n);
        return;
    }
    std::string name = m_settingsStore.ReadServerName(n);
    if (name.empty()) {
        const std::optional<QString> asked = AskName(IDS_ENTER_NAME, {});
        if (!asked || asked->isEmpty()) {
            return;
        }
        name = asked->toUtf8().toStdString();
    }
    if (!UpdateData(true)) {
        return;
    }
    m_settingsStore.SaveServer(n, name,
                               ServerProfile{settings.Hostname, settings.TunnelPortNumber,
                                             settings.Login, settings.Password});
    RefreshServerButtons();
    m_ok->setFocus();
}

void COptionsDlg::RenameServer(int n) {
    const std::string name = m_settingsStore.ReadServerName(n);
    if (name.empty()) {
        CMessageBox::Show(this, QMessageBox::Critical,
                          QString::fromStdString(LoadKavlinkString(IDS_RENAME_NEEDS_SAVE)));
        return;
    }
    const std::optional<QString> asked = AskName(IDS_ENTER_NAME_OR_DELETE, StoredText(name));
    if (!asked) {
        return;
    }
    if (!asked->isEmpty()) {
        m_settingsStore.RenameServer(n, StoredBytes(*asked, name));
        RefreshServerButtons();
        return;
    }
    const QMessageBox::StandardButton answer = CMessageBox::Show(
        this, QMessageBox::Question, QString::fromStdString(LoadKavlinkString(IDS_CONFIRM_DELETE)),
        QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes) {
        m_settingsStore.DeleteServer(n);
        RefreshServerButtons();
    }
}

// The trimmed name, or nothing when the user cancelled.
std::optional<QString> COptionsDlg::AskName(int promptId, const QString& initialText) {
    CGenericStringDlg dialog(this);
    dialog.titleId = IDS_SET_SERVER_NAME;
    dialog.promptId = promptId;
    dialog.enteredText = initialText;
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    if (!StorableText(dialog.enteredText)) {
        CMessageBox::Show(this, QMessageBox::Warning,
                          tr("The server name holds a line break or a NUL character, which the "
                             "settings file cannot store. Nothing was saved."));
        return std::nullopt;
    }
    if (dialog.enteredText.contains(QLatin1Char(' ')) ||
        dialog.enteredText.contains(QLatin1Char('\t'))) {
        // Kept as typed, but the person should know before relying on -p.
        CMessageBox::Show(this, QMessageBox::Information,
                          tr("\"%1\" has a blank: Load takes it here, but \"kavlink -p\" cannot "
                             "select it when Kavlink starts. A name without blanks works for "
                             "both.")
                              .arg(dialog.enteredText));
    }
    return dialog.enteredText;
}

void COptionsDlg::setVisible(bool visible) {
    if (visible && !m_initialised) {
        OnInitDialog();
    }
    QDialog::setVisible(visible);
}

void COptionsDlg::accept() {
    if (UpdateData(true)) {
        QDialog::accept();
    }
}

int COptionsDlg::exec() {
    Script script;
    std::swap(script, NextScript());
    if (!script) {
        return QDialog::exec();
    }
    setResult(Rejected);
    show();
    script(*this);
    if (isVisible()) {
        reject();
    }
    return result();
}

void COptionsDlg::SetNextScript(Script script) {
    NextScript() = std::move(script);
}

// Help is declined: there is none.
void COptionsDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
