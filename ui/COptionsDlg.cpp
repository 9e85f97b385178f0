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
// A control of the template by its name, of the type the template gives it; anything else is
// a fault in the template, caught at once.
template <typename T> T* Control(QWidget& dialog, const char* name) {
    T* const control = qobject_cast<T*>(
        dialog.findChild<QWidget*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly));
    if (control == nullptr)
        qFatal("Options dialog: control %s missing or of another kind", name);
    return control;
}

constexpr std::int32_t kPortMin = 1;
constexpr std::int32_t kPortMax = 65535;

enum class Kind { Group, RightText, Text, Edit, Check, Button, DefaultButton };

struct Item {
    const char* name; // the control's object name; null for one nothing refers to
    Kind kind;
    int x, y, width, height;
    const char* text;
};

// The dialog's layout in dialog units, in tab and stacking order; profile buttons come after.
constexpr Item kTemplate[] = {
    {nullptr, Kind::Group, 7, 9, 194, 190, "Tunnel server information"},
    {nullptr, Kind::RightText, 13, 23, 82, 9, "Hostname or IP address:"},
    {"tunnelHost", Kind::Edit, 100, 20, 87, 12, ""},
    {nullptr, Kind::RightText, 23, 37, 72, 9, "Port number:"},
    {"tunnelPort", Kind::Edit, 100, 34, 87, 12, ""},
    {nullptr, Kind::RightText, 23, 53, 72, 9, "Login:"},
    {"login", Kind::Edit, 100, 50, 87, 12, ""},
    {nullptr, Kind::RightText, 23, 68, 72, 9, "Password:"},
    {"password", Kind::Edit, 100, 65, 87, 12, ""},
    {nullptr, Kind::Group, 17, 81, 176, 51, "Load"},
    {nullptr, Kind::Group, 16, 138, 176, 53, "Save as (shift-click to rename)"},
    {nullptr, Kind::Group, 210, 9, 191, 44, "Local network information"},
    {nullptr, Kind::RightText, 218, 23, 72, 9, "Broadcast IP address:"},
    {"broadcastAddress", Kind::Edit, 295, 20, 87, 12, ""},
    {nullptr, Kind::RightText, 246, 39, 44, 9, "Port number:"},
    {"lanPort", Kind::Edit, 295, 36, 87, 12, ""},
    {nullptr, Kind::Group, 210, 60, 190, 65, "Advanced settings"},
    {"keepAlive", Kind::Check, 217, 75, 171, 10, "Keep the tunnel connection alive"},
    {nullptr, Kind::Text, 228, 89, 163, 11, "Useful if there is no Zentrik running in the LAN."},
    {"filterTimeSync", Kind::Check, 217, 105, 183, 10, "Filter time sync. related frames"},
    {nullptr, Kind::Group, 210, 129, 190, 41, "Tunnel encryption"},
    {"tls", Kind::Check, 217, 141, 171, 10, "Encrypted (TLS)"},
    {nullptr, Kind::RightText, 213, 156, 68, 9, "Certificate SHA-256:"},
    {"tlsFingerprint", Kind::Edit, 285, 154, 109, 12, ""},
    {"ok", Kind::DefaultButton, 245, 174, 50, 14, "OK"},
    {"cancel", Kind::Button, 307, 174, 50, 14, "Cancel"},
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

    std::vector<QWidget*> tabOrder;
    for (const Item& item : kTemplate) {
        QWidget* control = CreateItem(item, this);
        units.Place(*control, QRect(item.x, item.y, item.width, item.height));
        if (item.name == nullptr) {
            continue;
        }
        control->setObjectName(QString::fromLatin1(item.name));
        tabOrder.push_back(control);
        if (const SettingDef* def = SettingOfControl(item.name)) {
            const bool edit = def->type != SettingType::Switch;
            if (edit ? qobject_cast<QLineEdit*>(control) == nullptr
                     : qobject_cast<QCheckBox*>(control) == nullptr) {
                qFatal("Options dialog: control %s is not of its setting's kind", item.name);
            }
            m_bindings.push_back({def, control});
        }
    }
    m_tunnelHost = Control<QLineEdit>(*this, "tunnelHost");
    m_tunnelPort = Control<QLineEdit>(*this, "tunnelPort");
    m_ok = Control<QPushButton>(*this, "ok");
    m_cancel = Control<QPushButton>(*this, "cancel");
    CreateProfileButtons();

    for (std::size_t i = 1; i < tabOrder.size(); ++i) {
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
        load->setObjectName(LoadButtonName(n));
        save->setObjectName(SaveButtonName(n));
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
    ShowSettings();
    RefreshServerButtons();
    m_tunnelHost->setFocus();
}

void COptionsDlg::ShowSettings() {
    for (const Binding& binding : m_bindings) {
        const SettingDef& def = *binding.def;
        if (def.type == SettingType::Switch) {
            static_cast<QCheckBox*>(binding.control)
                ->setChecked(settings.*std::get<std::int32_t Settings::*>(def.field) != 0);
            continue;
        }
        auto* edit = static_cast<QLineEdit*>(binding.control);
        if (def.type == SettingType::Number) {
            edit->setText(QString::number(settings.*std::get<std::int32_t Settings::*>(def.field)));
        } else {
            // The settings keep the bytes behind the shown text, so that an untouched field
            // goes back byte for byte.
            edit->setText(StoredText(settings.*std::get<std::string Settings::*>(def.field)));
        }
    }
}

bool COptionsDlg::TakeSettings(Take take) {
    Settings taken = settings;
    for (const Binding& binding : m_bindings) {
        const SettingDef& def = *binding.def;
        if (def.type == SettingType::Switch) {
            taken.*std::get<std::int32_t Settings::*>(def.field) =
                static_cast<QCheckBox*>(binding.control)->isChecked() ? 1 : 0;
            continue;
        }
        auto& edit = *static_cast<QLineEdit*>(binding.control);
        if (def.type == SettingType::Number) {
            if (!TakePort(edit, taken.*std::get<std::int32_t Settings::*>(def.field))) {
                return false;
            }
            continue;
        }
        std::string& value = taken.*std::get<std::string Settings::*>(def.field);
        // Loading a profile replaces its texts, so what they hold now is no reason to refuse.
        if (take == Take::KeptByLoad && def.inProfile) {
            continue;
        }
        if (!CheckStorable(edit, tr(def.label))) {
            return false;
        }
        const std::string bytes = StoredBytes(edit.text(), value);
        if (const char* problem = def.problem != nullptr ? def.problem(bytes) : nullptr) {
            CMessageBox::Show(this, QMessageBox::Warning,
                              tr("%1 %2").arg(tr(def.label), QString::fromLatin1(problem)));
            edit.setFocus();
            edit.selectAll();
            return false;
        }
        value = bytes;
    }
    settings = std::move(taken);
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
    const Settings profile = m_settingsStore.LoadServer(n);
    m_tunnelPort->setText(QString::number(profile.TunnelPortNumber));
    if (!TakeSettings(Take::KeptByLoad)) {
        return;
    }
    UseServerProfile(settings, profile);
    ShowSettings();
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
    if (!TakeSettings()) {
        return;
    }
    m_settingsStore.SaveServer(n, name, settings);
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
    if (TakeSettings()) {
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
