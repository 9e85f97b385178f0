// The real kavlink binary, started in a private home with its data in a temporary directory.
#include <QDir>
#include <QFile>
#include <QProcess>
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

// A LAN port nobody else uses, so that runs never meet on the default port.
quint16 FreeUdpPort() {
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, 0))
        qFatal("cannot bind a UDP socket");
    return socket.localPort();
}
} // namespace

class TestStartup : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<QProcess>> m_processes;

    QString Path(const QString& name) const { return m_dir->filePath(name); }
    QString Expand(QString text) const { return text.replace("<dir>", m_dir->path()); }

    // No display, no platform chosen: Kavlink has to go headless by itself.
    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        env.insert("HOME", Path("home"));
        env.insert("XDG_CONFIG_HOME", Path("home/.config"));
        env.insert("XDG_RUNTIME_DIR", Path("run"));
        env.insert("TMPDIR", Path("tmp"));
        if (!m_withRuntimeDir)
            env.remove("XDG_RUNTIME_DIR");
        return env;
    }
    bool m_withRuntimeDir = true;

    static QByteArray IniWithDebug() {
        return "[General]\nDebug=1\n[Lan]\nBroadcastAddress=127.255.255.255\nPortNumber=" +
               QByteArray::number(FreeUdpPort()) + "\n";
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

    QProcess& Start(const QStringList& arguments) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(Environment());
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

    static void ExpectExit(QProcess& process, int status) {
        QVERIFY2(process.waitForFinished(kTimeout), "kavlink did not end");
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

    void second_instance_refused_without_m() {
        WriteFile(Path("d/cfg/Kavlink.ini"), IniWithDebug());
        const QString log = Path("d/cfg/Kavlink.log");
        QProcess& first = Start({"-a", Path("d")});
        QVERIFY(Started(log));
        // The default directories are made whatever the command line says.
        QVERIFY(QFileInfo(Path("home/.config/Zentrik/cfg")).isDir());

        QProcess& refused = Start({"-p", "Other", "-a", Path("d")});
        ExpectExit(refused, 1);
        QVERIFY(refused.readAllStandardError().contains(
            "Another instance of Kavlink is already running."));

        QProcess& allowed = Start({"-m", "-a", Path("d")});
        QVERIFY(Started(log, 2));
        Stop(allowed);
        Stop(first);
    }

    void signal_ends_like_exit_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP, a closed terminal") << int(SIGHUP);
    }
    void signal_ends_like_exit() {
        QFETCH(int, signal);
        WriteFile(Path("d/cfg/Kavlink.ini"), IniWithDebug());
        const QString log = Path("d/cfg/Kavlink.log");
        QProcess& process = Start({"-a", Path("d")});
        QVERIFY(Started(log));
        Stop(process, signal);
        QVERIFY(ReadFile(log).endsWith(kEnd));
        QVERIFY(process.readAllStandardError().contains("running headless"));
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
        QList<QByteArray> texts;
        for (const QByteArray& line : ReadFile(log).split('\n'))
            texts << line.mid(20);
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
