#include "CKavlinkApp.h"

#include "CInstanceChannel.h"
#include "CKavlinkMain.h"
#include "CMessageBox.h"
#include "CSingleInstance.h"
#include "CStatusSignal.h"
#include "CTerminationSignals.h"
#include "CommandLine.h"
#include "KavlinkCommands.h"
#include "KavlinkIcons.h"
#include "StringTable.h"

#include <QApplication>
#include <QDir>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// Without XDG_RUNTIME_DIR Qt falls back to /tmp/runtime-USER and warns each time it looks it
// up. The same directory taken here, before Qt looks, keeps the behaviour without the noise.
void UseRuntimeFallback() {
#ifdef Q_OS_UNIX
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const passwd* user = ::getpwuid(::getuid());
    if (user == nullptr)
        return;
    const QByteArray dir =
        QFile::encodeName(QDir::tempPath()) + "/runtime-" + QByteArray(user->pw_name);
    ::mkdir(dir.constData(), 0700);
    struct stat info {};
    // Only a private directory of our own; anything else is left to Qt, which says why.
    if (::lstat(dir.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::getuid() && (info.st_mode & 0777) == 0700)
        qputenv("XDG_RUNTIME_DIR", dir);
#endif
}

std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv) {
    UseOffscreenWithoutDisplay();
    UseRuntimeFallback();
    auto app = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(kTitle);
    QApplication::setApplicationVersion(QString::fromLatin1(kKavlinkVersion));
    // Every window carries it in its title bar, the start-up message boxes too.
    QApplication::setWindowIcon(LoadKavlinkIcon(IDI_MAIN));
    // Hiding the about panel must never end the program; only "Exit" does.
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
}
} // namespace

CKavlinkApp::CKavlinkApp(int& argc, char** argv)
    : m_argc(argc), m_argv(argv), m_app(MakeApplication(argc, argv)) {}

CKavlinkApp::~CKavlinkApp() = default;

int CKavlinkApp::InitInstance() {
    const CTerminationSignals terminationSignals;
    // Installed first thing: SIGUSR1's default action would end the process.
    CKavlinkMain* statusSource = nullptr;
    const CStatusSignal statusSignal([&statusSource] {
        if (statusSource != nullptr)
            statusSource->WriteStatus();
    });
    const std::string folder = ConfigurationFolder();
    const DataRootSource source =
        folder.empty() ? DataRootSource::ProgramDirectory : DataRootSource::Folder;
    m_paths = StartupPaths::Defaults(source, folder, ProgramDirectory());
    const CommandLine options = CommandLine::Parse(CommandText(), m_paths);

    bool lockHeld = false;
    if (!options.MultiInstance) {
        m_instance = std::make_unique<CSingleInstance>();
        const CSingleInstance::Result lock = m_instance->Acquire();
        if (lock == CSingleInstance::Result::AlreadyRunning) {
            // The running one comes forward first; the box then says what became of it.
            const CInstanceChannel::Answer answer =
                CInstanceChannel::AskToShow(CInstanceChannel::SocketPath(m_instance->Directory()));
            StartupMessage(AlreadyRunningText(answer), QMessageBox::Critical);
            return 1;
        }
        lockHeld = lock == CSingleInstance::Result::Acquired;
    }

    m_store.SetIniPath(m_paths.IniPath);
    auto kavlink = std::make_unique<CKavlinkMain>(m_store, m_paths.ConfigDirectory);
    if (!options.ProfileName.empty())
        kavlink->SetProfileName(options.ProfileName);
    kavlink->Start();
    // A first start has no tunnel server: say where to set one, instead of retrying an empty
    // host name in silence.
    if (kavlink->CurrentSettings().Hostname.empty())
        kavlink->NoticeMissingHost(m_paths.IniPath);
    kavlink->Panel().show();
    statusSource = kavlink.get();
    // -m instances are not reached: a second start reaches the lock's holder only.
    std::unique_ptr<CInstanceChannel> channel;
    if (lockHeld) {
        channel = std::make_unique<CInstanceChannel>(
            CInstanceChannel::SocketPath(m_instance->Directory()));
        if (!channel->Listen([&kavlink] { return kavlink->ShowForSecondStart(); }))
            kavlink->DebugLog().LogLine(1, "Other starts cannot reach this one");
    }
    QApplication::exec();
    channel.reset();
    statusSource = nullptr;
    // The end closes the tunnel and writes the log's last line.
    kavlink.reset();
    return 0;
}

// The refusal as it always read, then what the running one did when asked, or where it is.
QString CKavlinkApp::AlreadyRunningText(CInstanceChannel::Answer answer) const {
    QString text = QString::fromStdString(LoadKavlinkString(IDS_ALREADY_RUNNING)) + "\n\n";
    const qint64 pid = m_instance->HolderProcess();
    const QString process = pid > 0 ? QStringLiteral(" (process %1)").arg(pid) : QString();
    switch (answer) {
    case CInstanceChannel::Answer::Shown:
        return text + "The running one shows its status window now.";
    case CInstanceChannel::Answer::Headless:
        return text + "The running one" + process + " has no display to show its windows on.";
    case CInstanceChannel::Answer::NoAnswer:
        break;
    }
    return text + "The running one" + process + " did not answer; its lock file is " +
           QDir::toNativeSeparators(m_instance->LockPath()) + ".";
}

// Where nobody can answer a box (headless), the text goes to standard error instead.
void CKavlinkApp::StartupMessage(const QString& text, QMessageBox::Icon icon) {
    CMessageBox::Show(nullptr, icon, text);
}

std::string CKavlinkApp::CommandText() const {
    // argv no longer holds the options that QApplication took for itself.
    if (m_argc < 2)
        return {};
    return CommandLine::Join(std::vector<std::string>(m_argv + 1, m_argv + m_argc));
}
