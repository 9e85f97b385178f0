#include "COptionsDlg.h"

#include "CGenericStringDlg.h"
#include "CMessageBox.h"
#include "DialogUnits.h"
#include "StoredText.h"
#include "StringTable.h"

#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <functional>
#include <iterator>
#include <utility>

namespace {
// A control of the template by its name, of the type the template gives it; anything else is
// a fault in the template, caught at once.
template <typename T> T* Control(QWidget& dialog, const char* name) {
    T* const control = dynamic_cast<T*>(
        dialog.findChild<QWidget*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly));
    if (control == nullptr)
        qFatal("Options dialog: control %s missing or of another kind", name);
    return control;
}

constexpr std::int32_t kPortMin = 1;
constexpr std::int32_t kPortMax = 65535;
// The tunnel server's TLS port when it keeps the default, next to the plain one.
constexpr std::int32_t kDefaultTlsTunnelPort = 10369;

enum class Kind { Group, RowGroup, RightText, Text, Edit, Check, Button, DefaultButton };

struct Item {
    const char* name; // the control's object name; null for one nothing refers to
    Kind kind;
    int x, y, width, height;
    const char* text;
    const char* buddy = nullptr; // the control a label's mnemonic focuses
};

// The dialog's layout in dialog units, in stacking order and, but for the profile buttons that
// come after, in tab order. Every mnemonic is unique within the dialog.
constexpr Item kTemplate[] = {
    {nullptr, Kind::Group, 7, 9, 194, 190, "Tunnel server information"},
    {nullptr, Kind::RightText, 13, 23, 82, 9, "&Hostname or IP address:", "tunnelHost"},
    {"tunnelHost", Kind::Edit, 100, 20, 87, 12, ""},
    {nullptr, Kind::RightText, 23, 37, 72, 9, "&Port number:", "tunnelPort"},
    {"tunnelPort", Kind::Edit, 100, 34, 87, 12, ""},
    {nullptr, Kind::RightText, 23, 53, 72, 9, "&Login:", "login"},
    {"login", Kind::Edit, 100, 50, 87, 12, ""},
    {nullptr, Kind::RightText, 23, 68, 72, 9, "Pass&word:", "password"},
    {"password", Kind::Edit, 100, 65, 87, 12, ""},
    {"loadGroup", Kind::RowGroup, 17, 81, 176, 51, "Lo&ad"},
    {"saveGroup", Kind::RowGroup, 16, 138, 176, 53, "Sa&ve as (shift-click to rename)"},
    {nullptr, Kind::Group, 210, 9, 191, 44, "Local network information"},
    {nullptr, Kind::RightText, 218, 23, 72, 9, "&Broadcast IP address:", "broadcastAddress"},
    {"broadcastAddress", Kind::Edit, 295, 20, 87, 12, ""},
    {nullptr, Kind::RightText, 246, 39, 44, 9, "Port &number:", "lanPort"},
    {"lanPort", Kind::Edit, 295, 36, 87, 12, ""},
    {nullptr, Kind::Group, 210, 60, 190, 65, "Advanced settings"},
    {"keepAlive", Kind::Check, 217, 75, 171, 10, "&Keep the tunnel connection alive"},
    {nullptr, Kind::Text, 228, 89, 163, 11, "Useful if there is no Zentrik running in the LAN."},
    {"filterTimeSync", Kind::Check, 217, 105, 183, 10, "&Filter time sync. related frames"},
    {nullptr, Kind::Group, 210, 129, 190, 41, "Tunnel encryption"},
    {"tls", Kind::Check, 217, 141, 171, 10, "&Encrypted (TLS)"},
    {nullptr, Kind::RightText, 213, 156, 68, 9, "Certificate &SHA-256:", "tlsFingerprint"},
    {"tlsFingerprint", Kind::Edit, 285, 154, 109, 12, ""},
    {"ok", Kind::DefaultButton, 245, 174, 50, 14, "&OK"},
    {"cancel", Kind::Button, 307, 174, 50, 14, "&Cancel"},
};
// The profile buttons follow this control in the tab order: they sit below it.
constexpr const char* kProfileButtonsAfter = "password";

// The group of a row of profile buttons. They are the dialog's children, not the group's, so
// the group's mnemonic would find nothing to focus by itself.
class CRowGroup : public QGroupBox {
public:
    using QGroupBox::QGroupBox;
    std::function<QWidget*()> target;

protected:
    bool event(QEvent* event) override {
        if (event->type() != QEvent::Shortcut || !target)
            return QGroupBox::event(event);
        if (QWidget* widget = target())
            widget->setFocus(Qt::ShortcutFocusReason);
        return true;
    }
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
    case Kind::RowGroup:
        return new CRowGroup(text, parent);
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

    std::vector<QWidget*> named;
    std::vector<std::pair<QLabel*, const char*>> buddies;
    for (const Item& item : kTemplate) {
        QWidget* control = CreateItem(item, this);
        units.Place(*control, QRect(item.x, item.y, item.width, item.height));
        if (item.buddy != nullptr) {
            buddies.emplace_back(static_cast<QLabel*>(control), item.buddy);
        }
        if (item.name == nullptr) {
            continue;
        }
        control->setObjectName(QString::fromLatin1(item.name));
        named.push_back(control);
        if (const SettingDef* def = SettingOfControl(item.name)) {
            const bool edit = def->type != SettingType::Switch;
            if (edit ? qobject_cast<QLineEdit*>(control) == nullptr
                     : qobject_cast<QCheckBox*>(control) == nullptr) {
                qFatal("Options dialog: control %s is not of its setting's kind", item.name);
            }
            m_bindings.push_back({def, control});
        }
    }
    for (const auto& [label, buddy] : buddies) {
        label->setBuddy(Control<QWidget>(*this, buddy));
    }
    m_tunnelHost = Control<QLineEdit>(*this, "tunnelHost");
    m_tunnelPort = Control<QLineEdit>(*this, "tunnelPort");
    m_tls = Control<QCheckBox>(*this, "tls");
    m_ok = Control<QPushButton>(*this, "ok");
    m_cancel = Control<QPushButton>(*this, "cancel");
    CreateProfileButtons();

    std::vector<QWidget*> tabOrder;
    for (QWidget* control : named) {
        if (control->focusPolicy() != Qt::NoFocus) {
            tabOrder.push_back(control);
        }
        if (control->objectName() == QLatin1String(kProfileButtonsAfter)) {
            tabOrder.insert(tabOrder.end(), m_loadButtons.begin(), m_loadButtons.end());
            tabOrder.insert(tabOrder.end(), m_saveButtons.begin(), m_saveButtons.end());
        }
    }
    for (std::size_t i = 1; i < tabOrder.size(); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
    connect(m_ok, &QPushButton::clicked, this, &COptionsDlg::accept);
    connect(m_cancel, &QPushButton::clicked, this, &COptionsDlg::reject);
    connect(m_tls, &QCheckBox::clicked, this, &COptionsDlg::OfferTunnelPort);
    // A pin is checked over TLS only: entering one means TLS.
    connect(Control<QLineEdit>(*this, "tlsFingerprint"), &QLineEdit::textEdited, this,
            [this](const QString& text) {
                if (!m_tls->isChecked() && !text.trimmed().isEmpty()) {
                    m_tls->setChecked(true);
                    OfferTunnelPort(true);
                }
            });
}

// The server's default TLS port goes with TLS, and its plain one without; a port set by hand
// stays as it is.
void COptionsDlg::OfferTunnelPort(bool tls) {
    std::int32_t port = 0;
    const std::int32_t from = tls ? kDefaultTunnelPort : kDefaultTlsTunnelPort;
    if (ReadPortText(m_tunnelPort->text(), port) == PortText::Valid && port == from) {
        m_tunnelPort->setText(QString::number(tls ? kDefaultTlsTunnelPort : kDefaultTunnelPort));
    }
}

// Tab stops after the tunnel fields, but a click leaves the focus where the user was typing.
// The rows' mnemonics go to the first button that can act.
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
            button->setFocusPolicy(Qt::TabFocus);
            button->setAutoDefault(false);
        }
        connect(load, &QPushButton::clicked, this, [this, n] { LoadServer(n); });
        connect(save, &QPushButton::clicked, this, [this, n] { SaveServer(n); });
        m_loadButtons[static_cast<std::size_t>(i)] = load;
        m_saveButtons[static_cast<std::size_t>(i)] = save;
    }
    const auto firstEnabled = [](const auto& buttons) -> QWidget* {
        const auto found = std::find_if(buttons.begin(), buttons.end(),
                                        [](const QPushButton* b) { return b->isEnabled(); });
        return found != buttons.end() ? *found : nullptr;
    };
    Control<CRowGroup>(*this, "loadGroup")->target = [this, firstEnabled] {
        return firstEnabled(m_loadButtons);
    };
    Control<CRowGroup>(*this, "saveGroup")->target = [this, firstEnabled] {
        return firstEnabled(m_saveButtons);
    };
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

bool COptionsDlg::TakeSettings(const ServerProfile* loading) {
    Settings taken = settings;
    for (const Binding& binding : m_bindings) {
        const SettingDef& def = *binding.def;
        // Loading the profile replaces these, so what they hold now is no reason to refuse.
        if (loading != nullptr && loading->Sets(def)) {
            continue;
        }
        if (def.type == SettingType::Switch) {
            taken.*std::get<std::int32_t Settings::*>(def.field) =
                static_cast<QCheckBox*>(binding.control)->isChecked() ? 1 : 0;
            continue;
        }
        auto& edit = *static_cast<QLineEdit*>(binding.control);
        if (def.type == SettingType::Number) {
            if (!TakePort(edit, tr(def.label),
                          taken.*std::get<std::int32_t Settings::*>(def.field))) {
                return false;
            }
            continue;
        }
        std::string& value = taken.*std::get<std::string Settings::*>(def.field);
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
    if (loading == nullptr && taken.Tls == 0 && !taken.TlsFingerprint.empty() &&
        CMessageBox::Show(this, QMessageBox::Question,
                          tr("%1 holds a pin, but %2 is not ticked: the tunnel runs in clear "
                             "text and the pin is not checked. Use clear text all the same?")
                              .arg(tr(SettingOfControl("tlsFingerprint")->label),
                                   tr(SettingOfControl("tls")->label)),
                          QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        m_tls->setFocus();
        return false;
    }
    settings = std::move(taken);
    return true;
}

bool COptionsDlg::TakePort(QLineEdit& edit, const QString& fieldName, std::int32_t& port) {
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
    CMessageBox::Show(this, QMessageBox::Warning, tr("%1: %2").arg(fieldName, message));
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

// All or nothing: the profile and the fields it leaves are checked before any field changes.
// What the profile replaces is no reason to refuse; a bad field that stays (the LAN's, or a TLS
// field an older profile does not hold) stops the load with its message.
void COptionsDlg::LoadServer(int n) {
    const ServerProfile profile = m_settingsStore.LoadServer(n);
    const std::int32_t port = profile.values.TunnelPortNumber;
    if (port < kPortMin || port > kPortMax) {
        CMessageBox::Show(this, QMessageBox::Warning,
                          tr("\"%1\" was not loaded: its port number is not an integer between "
                             "%2 and %3. Save it again with the right port.")
                              .arg(StoredText(m_settingsStore.ReadServerName(n)))
                              .arg(kPortMin)
                              .arg(kPortMax));
        return;
    }
    if (!TakeSettings(&profile)) {
        return;
    }
    UseServerProfile(settings, profile);
    ShowSettings();
    m_ok->setFocus();
}

// The name is asked (or the overwrite confirmed) first and the fields validated next, before
// anything is written, so a refusal never leaves half a profile in the file.
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
    } else if (CMessageBox::Show(
                   this, QMessageBox::Question,
                   tr("Overwrite the server \"%1\" with the values shown?").arg(StoredText(name)),
                   QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        return;
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
