#pragma once

#include "CInstanceChannel.h"
#include "CSettingsStore.h"
#include "StartupPaths.h"

#include <QMessageBox>

#include <memory>

class CSingleInstance;
class QApplication;
class QWidget;

// The application object: owns the QApplication and performs the start-up, then runs the
// main window in the application loop until "Exit" or a termination signal.
class CKavlinkApp {
public:
    // Takes argc by reference: QApplication removes its own options from the arguments.
    CKavlinkApp(int& argc, char** argv);
    ~CKavlinkApp();
    CKavlinkApp(const CKavlinkApp&) = delete;
    CKavlinkApp& operator=(const CKavlinkApp&) = delete;

    // The whole start-up and run. Returns the exit status: 0 after a normal end, 1 when
    // start-up ended on a failure message.
    int InitInstance();

private:
    static void StartupMessage(const QString& text, QMessageBox::Icon icon);
    QString AlreadyRunningText(CInstanceChannel::Answer answer) const;
    std::string CommandText() const;

    int& m_argc;
    char** m_argv;
    std::unique_ptr<QApplication> m_app;
    StartupPaths m_paths;
    CSettingsStore m_store;
    std::unique_ptr<CSingleInstance> m_instance;
};
