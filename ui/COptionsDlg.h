#pragma once

#include "CSettingsStore.h"
#include "PortNumber.h"
#include "Settings.h"

#include <QDialog>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QLineEdit;
class QPushButton;

// The options dialog: the connection settings and the six server profiles. Each setting's
// control is named in the settings table, which binds it to its value.
class COptionsDlg : public QDialog {
    Q_OBJECT

public:
    // Object names of the profile buttons, by profile number 1 to 6.
    static QString LoadButtonName(int n) { return QStringLiteral("load%1").arg(n); }
    static QString SaveButtonName(int n) { return QStringLiteral("save%1").arg(n); }

    explicit COptionsDlg(CSettingsStore& settingsStore, Settings initial = {},
                         QWidget* parent = nullptr);

    // Shown by exec(), read back after OK; what the dialog does not show comes back as it
    // went in. Texts are stored bytes: a field the user did not change comes back as it went
    // in, a changed one as UTF-8.
    Settings settings;

    int exec() override;
    void setVisible(bool visible) override;
    // OK: takes and validates the controls; a bad field keeps the dialog open.
    void accept() override;

    void RefreshServerButtons();
    void LoadServer(int n);
    // Becomes RenameServer while Shift is held.
    void SaveServer(int n);
    void RenameServer(int n);

    // Test seam: where the Shift state comes from (the state of the event being handled).
    using ModifierQuery = std::function<Qt::KeyboardModifiers()>;
    void SetModifierQuery(ModifierQuery query) { m_queryModifiers = std::move(query); }
    // Test seam: the next exec() shows the dialog, runs the script on it instead of a modal
    // loop and returns the result it left (Rejected unless the script accepted).
    using Script = std::function<void(COptionsDlg&)>;
    static void SetNextScript(Script script);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateControls();
    void CreateProfileButtons();
    void OnInitDialog();
    // Shows the settings in their controls, or takes them back: all or nothing, checked in
    // tab order, so that the first bad field is the one named and focused. While a profile is
    // loading, the fields it sets are neither checked nor taken.
    void ShowSettings();
    bool TakeSettings(const ServerProfile* loading = nullptr);
    bool TakePort(QLineEdit& edit, const QString& fieldName, std::int32_t& port);
    void OfferTunnelPort(bool tls);
    bool CheckStorable(QLineEdit& edit, const QString& fieldName);

    // A control and the setting it shows.
    struct Binding {
        const SettingDef* def;
        QWidget* control;
    };
    std::optional<QString> AskName(int promptId, const QString& initialText);

    CSettingsStore& m_settingsStore;
    std::array<QPushButton*, kServerProfileCount> m_loadButtons{};
    std::array<QPushButton*, kServerProfileCount> m_saveButtons{};
    std::vector<Binding> m_bindings; // in tab order
    QLineEdit* m_tunnelHost = nullptr;
    QLineEdit* m_tunnelPort = nullptr;
    QCheckBox* m_tls = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    ModifierQuery m_queryModifiers;
    bool m_initialised = false;
};
