// The real kavlink binary, started in a private home with its data in a temporary directory.
#include "TestKit.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <memory>

#include <pwd.h>
#include <unistd.h>

namespace {
constexpr int kTimeout = 30000; // generous: the sanitizer build starts slowly
const QByteArray kStart = "-- Debug Start --";
const QByteArray kEnd = "-- Debug End --\n";
const QByteArray kAlreadyRunning =
    "Another instance of Kavlink is already running.\n\nIf you want to run several instances, use "
    "the -m or --multi-instance parameter in the command line.\n\n";
} // namespace

class TestStartup : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    // A private X server without a tray host, started when a test first needs one.
    std::unique_ptr<QProcess> m_xServer;
    QByteArray m_display;

    // The private X server's display, empty where Xvfb is not installed.
    QByteArray Display() {
        if (m_xServer)
            return m_display;
        m_xServer = std::make_unique<QProcess>();
        const QString xvfb = QStandardPaths::findExecutable("Xvfb");
        if (xvfb.isEmpty())
            return {};
        m_xServer->start(xvfb, {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten",
                                "tcp", "-noreset"});
        if (QTest::qWaitFor([&] { return m_xServer->canReadLine(); }, kTimeout))
            m_display = ":" + m_xServer->readLine().trimmed();
        return m_display;
    }

    QString Path(const QString& name) const { return m_dir->filePath(name); }
    QString Expand(QString text) const { return text.replace("<dir>", m_dir->path()); }

    // No display, no platform chosen: Kavlink has to go headless by itself. On the private X
    // server no tray host runs, and no session bus offers one.
    QProcessEnvironment Environment(bool onDisplay) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XAUTHORITY"})
            env.remove(name);
        if (onDisplay) {
            env.insert("DISPLAY", QString::fromLatin1(m_display));
            env.insert("QT_QPA_PLATFORM", "xcb");
            env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + Path("no-bus"));
        }
        env.insert("HOME", Path("home"));
        env.insert("XDG_CONFIG_HOME", Path("home/.config"));
        env.insert("XDG_RUNTIME_DIR", Path("run"));
        env.insert("TMPDIR", Path("tmp"));
        if (!m_withRuntimeDir)
            env.remove("XDG_RUNTIME_DIR");
        return env;
    }
    bool m_withRuntimeDir = true;

    // A LAN port nobody else uses, so that runs never meet on the default port.
    CUdpPortLease m_lanPort;

    QByteArray IniWithDebug() const {
        return "[General]\nDebug=1\n[Lan]\nBroadcastAddress=127.255.255.255\nPortNumber=" +
               QByteArray::number(m_lanPort.Port()) + "\n";
    }

    void WriteFile(const QString& name, const QByteArray& bytes) const {
        QDir().mkpath(QFileInfo(name).path());
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(name));
    }

    static QByteArray ReadFile(const QString& name) {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QProcess& Start(const QStringList& arguments, bool onDisplay = false) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(Environment(onDisplay));
        process->setProgram(KAVLINK_BINARY);
        process->setArguments(arguments);
        process->start();
        m_processes.push_back(std::move(process));
        return *m_processes.back();
    }

    // Waits until the n-th run has written its first log line.
    static bool Started(const QString& log, int runs = 1) {
        return QTest::qWaitFor([&] { return ReadFile(log).count(kStart) >= runs; }, kTimeout);
    }

    // The event loop runs meanwhile: a test may play the running one's part.
    static void ExpectExit(QProcess& process, int status) {
        QVERIFY2(QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kTimeout),
                 "kavlink did not end");
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
    }

    static void Stop(QProcess& process, int signal = SIGTERM) {
        QCOMPARE(process.state(), QProcess::Running);
        ::kill(static_cast<pid_t>(process.processId()), signal);
        ExpectExit(process, 0);
    }

private slots:
    void init() {
        m_withRuntimeDir = true;
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(m_dir->path()).mkpath("tmp"));
        QVERIFY(QDir(m_dir->path()).mkpath("home"));
        QVERIFY(QDir(m_dir->path()).mkdir("run"));
        QFile::setPermissions(Path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    void cleanup() { m_processes.clear(); }
    void cleanupTestCase() { m_xServer.reset(); }

    void second_instance_refused_without_m() {
        WriteFile(Path("d/cfg/Kavlink.ini"), IniWithDebug());
        const QString log = Path("d/cfg/Kavlink.log");
        QProcess& first = Start({"-a", Path("d")});
        QVERIFY(Started(log));
        // The default directories are made whatever the command line says.
        QVERIFY(QFileInfo(Path("home/.config/Zentrik/cfg")).isDir());

        QProcess& refused = Start({"-p", "Other", "-a", Path("d")});
        ExpectExit(refused, 1);
        const QByteArray errors = refused.readAllStandardError();
        QVERIFY2(errors.contains(kAlreadyRunning + "The running one (process " +
                                 QByteArray::number(first.processId()) +
                                 ") has no display to show its windows on.\n"),
                 errors.constData());
        QTRY_VERIFY_WITH_TIMEOUT(ReadFile(log).contains("Another start of Kavlink asked for this "
                                                        "one; no display to show it on"),
                                 kTimeout);

        QProcess& allowed = Start({"-m", "-a", Path("d")});
        QVERIFY(Started(log, 2));
        // A second start reaches the lock's holder, never an instance started with -m.
        QProcess& again = Start({"-a", Path("d")});
        ExpectExit(again, 1);
        QVERIFY(again.readAllStandardError().contains("(process " +
                                                      QByteArray::number(first.processId()) + ")"));
        Stop(allowed);
        Stop(first);
    }

    // On a desktop the running one shows its status window to a second start.
    void second_start_brings_the_running_one_forward() {
        if (Display().isEmpty())
            QSKIP("Xvfb is not installed (tools/install-deps.sh installs it)");
        WriteFile(Path("d/cfg/Kavlink.ini"), IniWithDebug());
        const QString log = Path("d/cfg/Kavlink.log");
        QProcess& first = Start({"-a", Path("d")}, true);
        QVERIFY(Started(log));
        QProcess& second = Start({"-a", Path("d")});
        ExpectExit(second, 1);
        QVERIFY(second.readAllStandardError().contains(
            kAlreadyRunning + "The running one shows its status window now.\n"));
        QTRY_VERIFY_WITH_TIMEOUT(ReadFile(log).contains("Another start of Kavlink asked for this "
                                                        "one: status window shown"),
                                 kTimeout);
        Stop(first);
    }

    // A running one that cannot be reached (an older version, one that hangs): the second
    // start says where it is, and does not wait longer than it must.
    void second_start_says_where_an_unanswering_one_is() {
        QLockFile held(Path("run/Kavlink.lock"));
        QVERIFY(held.tryLock(0));
        QLocalServer mute;
        QVERIFY(mute.listen(Path("run/Kavlink.socket")));
        connect(&mute, &QLocalServer::newConnection, [&mute] {
            while (QLocalSocket* socket = mute.nextPendingConnection())
                socket->abort();
        });
        WriteFile(Path("d/cfg/Kavlink.ini"), IniWithDebug());
        QProcess& second = Start({"-a", Path("d")});
        ExpectExit(second, 1);
        const QByteArray errors = second.readAllStandardError();
        QVERIFY2(errors.contains(kAlreadyRunning + "The running one (process " +
                                 QByteArray::number(QCoreApplication::applicationPid()) +
                                 ") did not answer; its lock file is " +
                                 QFile::encodeName(Path("run/Kavlink.lock")) + ".\n"),
                 errors.constData());
        QVERIFY(!QFile::exists(Path("d/cfg/Kavlink.log")));
    }

    void signal_ends_like_exit_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("onDisplay");
        QTest::newRow("SIGTERM") << int(SIGTERM) << false;
        QTest::newRow("SIGINT") << int(SIGINT) << false;
        QTest::newRow("SIGHUP, a closed terminal") << int(SIGHUP) << false;
        // There the panel stays open, and refuses to close, until a tray host comes.
        QTest::newRow("SIGTERM, no tray host") << int(SIGTERM) << true;
        QTest::newRow("SIGINT, no tray host") << int(SIGINT) << true;
        QTest::newRow("SIGHUP, no tray host") << int(SIGHUP) << true;
    }
    void signal_ends_like_exit() {
        QFETCH(int, signal);
        QFETCH(bool, onDisplay);
        if (onDisplay && Display().isEmpty())
            QSKIP("Xvfb is not installed (tools/install-deps.sh installs it)");
        WriteFile(Path("d/cfg/Kavlink.ini"), IniWithDebug());
        const QString log = Path("d/cfg/Kavlink.log");
        QProcess& process = Start({"-a", Path("d")}, onDisplay);
        QVERIFY(Started(log));
        QByteArray errors;
        const QByteArray said = onDisplay ? "no notification area found" : "running headless";
        QVERIFY(QTest::qWaitFor(
            [&] { return (errors += process.readAllStandardError()).contains(said); }, kTimeout));
        Stop(process, signal);
        QVERIFY(ReadFile(log).endsWith(kEnd));
        // The socket for a second start goes with it.
        QVERIFY(!QFile::exists(Path("run/Kavlink.socket")));
    }

    // Headless, SIGUSR1 asks for the status: to standard error, and to the log at level 1.
    void status_signal_writes_status() {
        WriteFile(Path("d/cfg/Kavlink.ini"), IniWithDebug());
        const QString log = Path("d/cfg/Kavlink.log");
        QProcess& process = Start({"-a", Path("d")});
        QVERIFY(Started(log));
        QByteArray errors;
        for (int asked = 1; asked <= 2; ++asked) {
            ::kill(static_cast<pid_t>(process.processId()), SIGUSR1);
            QVERIFY(QTest::qWaitFor(
                [&] {
                    errors += process.readAllStandardError();
                    return errors.count("Kavlink status at") == asked &&
                           errors.endsWith("none heard\n");
                },
                kTimeout));
        }
        QVERIFY(errors.contains("\nTunnel\n  State            "));
        QVERIFY(errors.contains("Messages since start"));
        QCOMPARE(ReadFile(log).count("  relayed in the last minute"), 2);
        Stop(process);
    }

    // A fresh installation, as from `make run` on a new system: no tunnel server and often no
    // runtime directory. One notice says where to set the server; Qt's warning stays away.
    void first_start_data() {
        QTest::addColumn<QByteArray>("tunnel");
        QTest::addColumn<bool>("runtimeDir");
        QTest::addColumn<int>("notices");
        QTest::newRow("no host, no runtime directory") << QByteArray() << false << 1;
        QTest::newRow("no host") << QByteArray("[TunnelSrv]\nHostname=\n") << true << 1;
        QTest::newRow("host set") << QByteArray("[TunnelSrv]\nHostname=127.0.0.1\n") << true << 0;
    }
    void first_start() {
        QFETCH(QByteArray, tunnel);
        QFETCH(bool, runtimeDir);
        QFETCH(int, notices);
        m_withRuntimeDir = runtimeDir;
        WriteFile(Path("d/cfg/Kavlink.ini"), IniWithDebug() + tunnel);
        const QString log = Path("d/cfg/Kavlink.log");
        // The single-instance lock shows which runtime directory was used.
        const passwd* user = ::getpwuid(::getuid());
        QVERIFY(user != nullptr);
        const QString runtime =
            runtimeDir ? Path("run") : Path("tmp/runtime-") + QString::fromLocal8Bit(user->pw_name);
        QProcess& process = Start({"-a", Path("d")});
        QVERIFY(Started(log));
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(runtime + "/Kavlink.lock"); }));
        Stop(process);
        const QByteArray errors = process.readAllStandardError();
        const QByteArray notice = "no tunnel server configured: set Hostname (and Login, "
                                  "Password) in section [TunnelSrv] of " +
                                  QFile::encodeName(Path("d/cfg/Kavlink.ini"));
        QCOMPARE(errors.count(notice), notices);
        QCOMPARE(ReadFile(log).count(notice), notices);
        QVERIFY2(!errors.contains("XDG_RUNTIME_DIR"), errors.constData());
    }

    void crashed_instance_does_not_block() {
        WriteFile(Path("d/cfg/Kavlink.ini"), IniWithDebug());
        const QString log = Path("d/cfg/Kavlink.log");
        QProcess& crashed = Start({"-a", Path("d")});
        QVERIFY(Started(log));
        crashed.kill();
        QVERIFY(crashed.waitForFinished(kTimeout));
        QProcess& next = Start({"-a", Path("d")});
        QVERIFY(Started(log, 2));
        // The crashed one's socket was taken over too: a second start reaches the next one.
        QProcess& second = Start({"-a", Path("d")});
        ExpectExit(second, 1);
        QVERIFY(second.readAllStandardError().contains("The running one (process " +
                                                       QByteArray::number(next.processId()) +
                                                       ") has no display"));
        Stop(next);
    }

    // "-p" is applied and saved before the first connection, which goes to the profile's
    // server with its credentials; the log shows the start-up steps in order.
    void profile_applied_before_first_connection() {
        QTcpServer stale;
        QTcpServer chosen;
        QVERIFY2(stale.listen(QHostAddress::LocalHost), qPrintable(stale.errorString()));
        QVERIFY2(chosen.listen(QHostAddress::LocalHost), qPrintable(chosen.errorString()));
        const QByteArray chosenPort = QByteArray::number(chosen.serverPort());
        const QString ini = Path("d/cfg/Kavlink.ini");
        WriteFile(ini, IniWithDebug() + "[TunnelSrv]\nHostname=127.0.0.1\nPortNumber=" +
                           QByteArray::number(stale.serverPort()) +
                           "\nLogin=old\nPassword=old-pw\n"
                           "[Server2]\nName=Home\nHostname=127.0.0.1\nPortNumber=" +
                           chosenPort + "\nLogin=pl\nPassword=pp\n");
        QProcess& process = Start({"-a", Path("d"), "-p", "Home"});
        QVERIFY(chosen.waitForNewConnection(kTimeout));
        QVERIFY(ReadFile(ini).contains("[TunnelSrv]\nHostname=127.0.0.1\nPortNumber=" + chosenPort +
                                       "\nLogin=pl\nPassword=pp\n"));
        const std::unique_ptr<QTcpSocket> peer(chosen.nextPendingConnection());
        QByteArray answers;
        for (const char* prompt : {"login:", "password:"}) {
            const qsizetype lines = answers.count('\n');
            peer->write(prompt);
            QTRY_VERIFY_WITH_TIMEOUT((answers += peer->readAll()).count('\n') > lines, kTimeout);
        }
        QCOMPARE(answers, QByteArray("pl\npp\n"));
        QVERIFY(!stale.hasPendingConnections());

        const QString log = Path("d/cfg/Kavlink.log");
        QTRY_VERIFY_WITH_TIMEOUT(ReadFile(log).contains("Opening LAN..."), kTimeout);
        const QList<QByteArray> texts = LogTexts(log);
        QCOMPARE(texts.mid(0, 3),
                 (QList<QByteArray>{kStart, "Connecting tunnel...", "Opening LAN..."}));
        Stop(process);
    }

    // Bad input never keeps Kavlink from starting.
    void starts_despite_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QByteArray>("iniBytes");
        QTest::addColumn<QString>("blocker"); // made a plain file where a directory should be
        QTest::addColumn<QString>("log");
        QTest::newRow("garbage ini")
            << QStringList{"-a", "<dir>/d"} << "<dir>/d/cfg/Kavlink.ini"
            << QByteArray("\x00\xFF\x7F]]][==\r\r\n\xE9garbage\n", 21) + IniWithDebug() << ""
            << "<dir>/d/cfg/Kavlink.log";
        QTest::newRow("configuration directory cannot be made")
            << QStringList{"-a", "<dir>/blocked", "-i", "<dir>/other/k.ini"} << "<dir>/other/k.ini"
            << IniWithDebug() << "<dir>/blocked/cfg"
            << "<dir>/other/k.log";
        QTest::newRow("unknown option and overlong arguments")
            << QStringList{"-a", "<dir>/d", "-p", QString(400, 'p'), "--bogus", "-m"}
            << "<dir>/d/cfg/Kavlink.ini" << IniWithDebug() << ""
            << "<dir>/d/cfg/Kavlink.log";
    }
    void starts_despite() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, ini);
        QFETCH(QByteArray, iniBytes);
        QFETCH(QString, blocker);
        QFETCH(QString, log);
        if (!blocker.isEmpty())
            WriteFile(Expand(blocker), "not a directory");
        WriteFile(Expand(ini), iniBytes);
        for (QString& argument : arguments)
            argument = Expand(argument);
        QProcess& process = Start(arguments);
        QVERIFY(Started(Expand(log)));
        Stop(process);
        QVERIFY(ReadFile(Expand(log)).endsWith(kEnd));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "TestStartup.moc"
