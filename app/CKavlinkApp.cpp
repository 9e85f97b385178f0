#include "CKavlinkApp.h"

#include "CKavlinkDlg.h"
#include "CMessageBox.h"
#include "CSingleInstance.h"
#include "CTerminationSignals.h"
#include "CommandLine.h"
#include "StringTable.h"

#include <QApplication>

#include <cstdio>

namespace {
const QString kTitle = QStringLiteral("Kavlink");

// Without a display Qt cannot start a desktop platform: run headless and say so.
void UseOffscreenWithoutDisplay() {
#ifdef Q_OS_LINUX
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fputs("Kavlink: no display found, running headless (QT_QPA_PLATFORM=offscreen).\n",
                   stderr);
    }
#endif
}

std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv) {
    UseOffscreenWithoutDisplay();
    auto app = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(kTitle);
    QApplication::setApplicationVersion(QString::fromLatin1(kKavlinkVersion));
    // Hiding the about panel must never end the program; only "Exit" does.
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
}

// Qt sets up the socket layer itself where a platform needs that; the failure path stays
// for a platform where it can fail.
bool InitSocketLayer() {
    return true;
}
} // namespace

CKavlinkApp::CKavlinkApp(int& argc, char** argv)
    : m_argc(argc), m_argv(argv), m_app(MakeApplication(argc, argv)) {}

CKavlinkApp::~CKavlinkApp() = default;

int CKavlinkApp::InitInstance() {
    const CTerminationSignals terminationSignals;
    if (!InitSocketLayer()) {
        StartupMessage(IDS_SOCKETS_INIT_FAILED, QMessageBox::Warning);
        return 1;
    }
    const std::string folder = ConfigurationFolder();
    const DataRootSource source =
        folder.empty() ? DataRootSource::ProgramDirectory : DataRootSource::Folder;
    m_paths = StartupPaths::Defaults(source, folder, ProgramDirectory());
    const CommandLine options = CommandLine::Parse(CommandText(), m_paths);

    if (!options.MultiInstance) {
        m_instance = std::make_unique<CSingleInstance>();
        if (m_instance->Acquire() == CSingleInstance::Result::AlreadyRunning) {
            StartupMessage(IDS_ALREADY_RUNNING, QMessageBox::Critical);
            return 1;
        }
    }

    CSettingsStore::RegisterKeyTexts();
    m_store.SetIniPath(m_paths.IniPath);
    auto window = std::make_unique<CKavlinkDlg>(m_store, m_paths.ConfigDirectory);
    if (!options.ProfileName.empty())
        window->SetProfileName(options.ProfileName);
    window->OnInitDialog();
    window->show();
    QApplication::exec();
    // Destroying the window closes the tunnel and writes the log's last line.
    window.reset();
    return 0;
}

// Where nobody can answer a box (headless), the text goes to standard error instead.
void CKavlinkApp::StartupMessage(int stringId, QMessageBox::Icon icon) {
    CMessageBox::Show(nullptr, icon, QString::fromStdString(LoadKavlinkString(stringId)));
}

std::string CKavlinkApp::CommandText() const {
    // argv no longer holds the options that QApplication took for itself.
    if (m_argc < 2)
        return {};
    return CommandLine::Join(std::vector<std::string>(m_argv + 1, m_argv + m_argc));
}
