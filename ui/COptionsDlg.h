#pragma once

#include "CSettingsStore.h"
#include "Settings.h"

#include <QDialog>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;

// What a port field holds: the number in the first 63 characters, leading blanks skipped and
// anything after the digits ignored.
enum class PortText { Valid, NotANumber, OutOfRange };
PortText ReadPortText(const QString& text, std::int32_t& port);

// The options dialog of template 135: the connection settings and the six server profiles.
class COptionsDlg : public QDialog {
    Q_OBJECT

public:
    enum ControlId {
        IDC_OK = 1,
        IDC_CANCEL = 2,
        IDC_BROADCAST_ADDRESS = 1001,
        IDC_LAN_PORT = 1002,
        IDC_TUNNEL_HOST = 1003,
        IDC_TUNNEL_PORT = 1004,
        IDC_LOGIN = 1005,
        IDC_PASSWORD = 1006,
        IDC_KEEP_ALIVE = 1008,
        IDC_FILTER_TIME_SYNC = 1009,
    };
    // By profile number 1 to 6, at index number - 1.
    static constexpr std::array<int, kServerProfileCount> kLoadButtonIds{1010, 1011, 1012,
                                                                         1017, 1019, 1020};
    static constexpr std::array<int, kServerProfileCount> kSaveButtonIds{1013, 1014, 1015,
                                                                         1021, 1022, 1023};

    explicit COptionsDlg(CSettingsStore& settingsStore, Settings initial = {},
                         QWidget* parent = nullptr);

    // Shown by exec(), read back after OK; what the dialog does not show comes back as it
    // went in. Texts are stored bytes: a field the user did not change comes back as it went
    // in, a changed one as UTF-8.
    Settings settings;

    int exec() override;
    void setVisible(bool visible) override;
    // OK: takes and validates the controls; a bad port keeps the dialog open.
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
    // KeptByLoad: the tunnel texts, which loading a profile replaces, are not checked.
    enum class Take { All, KeptByLoad };
    bool UpdateData(bool saveAndValidate, Take take = Take::All);
    bool TakePort(QLineEdit& edit, std::int32_t& port);
    bool CheckStorable(QLineEdit& edit, const QString& fieldName);
    std::optional<QString> AskName(int promptId, const QString& initialText);

    CSettingsStore& m_settingsStore;
    std::array<QPushButton*, kServerProfileCount> m_loadButtons{};
    std::array<QPushButton*, kServerProfileCount> m_saveButtons{};
    QLineEdit* m_broadcastAddress = nullptr;
    QLineEdit* m_lanPort = nullptr;
    QLineEdit* m_tunnelHost = nullptr;
    QLineEdit* m_tunnelPort = nullptr;
    QLineEdit* m_login = nullptr;
    QLineEdit* m_password = nullptr;
    QCheckBox* m_keepAlive = nullptr;
    QCheckBox* m_filterTimeSync = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    ModifierQuery m_queryModifiers;
    bool m_initialised = false;
};
