#pragma once

#include "CDebugLog.h"
#include "Settings.h"

#include <QDialog>

#include <string>

class CSettingsStore;

// The main window: the about panel, and the hub that owns the settings, the debug log, the
// tunnel and the LAN side for the whole run.
class CKavlinkDlg : public QDialog {
    Q_OBJECT

public:
    CKavlinkDlg(CSettingsStore& store, std::string configDirectory, QWidget* parent = nullptr);
    ~CKavlinkDlg() override;

    void SetProfileName(std::string name) { m_profileName = std::move(name); }
    // The main window's initialisation, which starts everything.
    bool OnInitDialog();

    const Settings& CurrentSettings() const { return m_settings; }
    CDebugLog& DebugLog() { return m_log; }

private:
    CSettingsStore& m_store;
    std::string m_configDirectory;
    std::string m_profileName;
    Settings m_settings;
    CDebugLog m_log;
};
