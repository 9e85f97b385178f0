#include "CKavlinkDlg.h"

#include "CSettingsStore.h"

CKavlinkDlg::CKavlinkDlg(CSettingsStore& store, std::string configDirectory, QWidget* parent)
    : QDialog(parent), m_store(store), m_configDirectory(std::move(configDirectory)) {}

CKavlinkDlg::~CKavlinkDlg() {
    m_log.EndDebugLog();
}

bool CKavlinkDlg::OnInitDialog() {
    LoadSettings(m_store, m_settings);
    ApplyProfile(m_store, m_settings, m_profileName);
    m_log.StartDebugLog(m_settings.Debug, m_store.IniPath(), m_configDirectory);
    return true;
}
