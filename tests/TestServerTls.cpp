// The tunnel server over TLS, on loopback with certificates made at run time: TLS and plain
// clients relay to each other, the wrong protocol on a port ends at once or at the log-in
// time-out, the limits count TLS connections too, and the certificate is read again at a reload.
#include "CTunnelServer.h"
#include "Fingerprint.h"
#include "ServerLogIn.h"
#include "TestCertificates.h"
#include "TestKit.h"
#include "TunnelLine.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <memory>
#include <sys/stat.h>

namespace {
// QTest::qWaitFor naps 10 ms whenever the loop runs dry, which a megabyte crossing the server
// in 4 KiB reads would pay hundreds of times; this turns the loop as events come.
template <typename Predicate> bool WaitFor(Predicate predicate) {
    QTimer wake;
    wake.start(5);
    const QDeadlineTimer deadline(10000);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// A client in clear or over TLS that records what it receives. It checks no certificate: the
// tests compare the fingerprint it was shown.
struct Client {
    QSslSocket socket;
    QByteArray data;
    QString fingerprint;

    Client(quint16 port, bool tls, QSsl::SslProtocol protocol = QSsl::TlsV1_2OrLater) {
        QObject::connect(&socket, &QSslSocket::readyRead, [this] { data += socket.readAll(); });
        QObject::connect(&socket, &QSslSocket::encrypted, [this] {
            fingerprint = CertificateFingerprint(socket.peerCertificate().toDer());
        });
        if (!tls) {
            socket.connectToHost(QHostAddress::LocalHost, port);
            return;
        }
        QSslConfiguration configuration = socket.sslConfiguration();
        configuration.setProtocol(protocol);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.setSslConfiguration(configuration);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }
    void Write(const QByteArray& bytes) { socket.write(bytes); }
    bool Closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};

// Bytes as they come, from a source address of its choice: no TLS of its own.
struct Raw {
    QTcpSocket socket;
    QByteArray data;

    explicit Raw(quint16 port, const char* source = "127.0.0.1") {
        socket.bind(QHostAddress(QString::fromLatin1(source)));
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { data += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool Closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};
} // namespace

class TestServerTls : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    TestCertificate m_one;
    TestCertificate m_two;
    TestCertificate m_rsa;
    std::unique_ptr<CTunnelServer> m_server;
    QStringList m_log;
    qint64 m_now = 1000000; // the server's clock, in milliseconds

    QString Path(const QString& name) const { return m_dir.filePath(name); }

    // The certificate and key the server is given, copied from one it was made with.
    void UseCertificate(const TestCertificate& made) {
        for (const auto& [from, to] : {std::pair{made.certificate, Path("live.crt")},
                                       std::pair{made.key, Path("live.key")}}) {
            QFile::remove(to);
            QVERIFY(QFile::copy(from, to));
            QVERIFY(QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner));
        }
    }

    ServerOptions TestOptions() const {
        ServerOptions options;
        options.listenAddress = QHostAddress::LocalHost;
        options.port = 0;
        options.tlsPort = 0;
        options.tlsCertificateFile = Path("live.crt");
        options.tlsKeyFile = Path("live.key");
        options.usersFile = Path("users");
        options.heartbeatMs = 0;
        options.tickMs = 0;
        options.inputLinesPerSecond = 0;
        return options;
    }

    bool Start(const ServerOptions& options) {
        m_log.clear();
        m_server = std::make_unique<CTunnelServer>(options);
        m_server->SetLogSink([this](const QString& line) { m_log.append(line); });
        m_server->SetClock([this] { return m_now * 1000000; });
        QString error;
        const bool started = m_server->LoadUsers(&error) && m_server->Listen(&error);
        if (!started)
            qWarning("%s", qPrintable(error));
        return started;
    }
    bool Start() { return Start(TestOptions()); }

    bool LogHas(const QString& text) const { return !m_log.filter(text).isEmpty(); }
    QString LogText() const { return m_log.join('\n'); }

    bool LogIn(Client& client, const QByteArray& login = "alice",
               const QByteArray& password = "secret") {
        return ServerLogIn(
            client, login, password, [](auto predicate) { return WaitFor(predicate); },
            [this] { return m_server->LoggedInCount(); });
    }

    // A line from one logged-in client reaches another, and nothing else does.
    static bool Relays(Client& from, Client& to) {
        const QByteArray line = Line("ADDQSO: \"A\" \"\" " + QByteArray::number(to.data.size()));
        const QByteArray expected = to.data + line;
        from.Write(line);
        return WaitFor([&] { return to.data.size() >= expected.size(); }) && to.data == expected;
    }

    // Starts kavlink-server on free loopback ports; its standard error is gathered in err.
    static bool StartBinary(QProcess& process, const QStringList& arguments, QByteArray& err,
                            const QString& waitFor) {
        return StartServerBinary(process, KAVLINK_SERVER_BINARY, arguments, err,
                                 QRegularExpression::escape(waitFor))
            .has_value();
    }
    static bool StderrSays(QProcess& process, QByteArray& err, const QString& text) {
        return WaitFor([&] {
            err += process.readAllStandardError();
            return QString::fromUtf8(err).contains(text);
        });
    }

private slots:
    void initTestCase() {
        if (!HaveOpenssl())
            QSKIP("the openssl command makes the certificates (tools/install-deps.sh installs it)");
        QVERIFY(QSslSocket::supportsSsl());
        QVERIFY(m_dir.isValid());
        m_one = MakeSelfSigned(m_dir.path(), "one");
        m_two = MakeSelfSigned(m_dir.path(), "two");
        m_rsa = MakeSelfSigned(m_dir.path(), "rsa", "localhost", {"rsa:2048"});
        QVERIFY(m_one.IsValid() && m_two.IsValid() && m_rsa.IsValid());
        QFile users(Path("users"));
        QVERIFY(users.open(QIODevice::WriteOnly));
        users.write("alice:secret\nbob:pw\n");
        users.close();
        QVERIFY(users.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    }
    void init() { UseCertificate(m_one); }
    void cleanup() { m_server.reset(); }

    void relaysBetweenTlsAndPlain_data() {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QSsl::SslProtocol>("protocol");
        QTest::newRow("TLS 1.3, EC key") << "one" << QSsl::TlsV1_3;
        QTest::newRow("TLS 1.2, EC key") << "one" << QSsl::TlsV1_2;
        QTest::newRow("TLS 1.3, RSA key") << "rsa" << QSsl::TlsV1_3;
    }
    // The TLS client sees the server's certificate, logs in the usual way, and its lines cross
    // to a plain client and back; the server tells which of its clients came over TLS.
    void relaysBetweenTlsAndPlain() {
        QFETCH(QString, certificate);
        QFETCH(QSsl::SslProtocol, protocol);
        const TestCertificate& made = certificate == "rsa" ? m_rsa : m_one;
        UseCertificate(made);
        QVERIFY(Start());
        QVERIFY(m_server->Port() != 0 && m_server->TlsPort() != 0);
        QCOMPARE(m_server->TlsFingerprint(), made.fingerprint);
        QVERIFY2(LogHas("TLS certificate: SHA-256 fingerprint " + made.fingerprint),
                 qPrintable(LogText()));

        Client secure(m_server->TlsPort(), true, protocol), plain(m_server->Port(), false);
        QVERIFY(LogIn(secure));
        QVERIFY(LogIn(plain, "bob", "pw"));
        QCOMPARE(secure.fingerprint, made.fingerprint);
        QCOMPARE(secure.socket.sessionProtocol(), protocol);
        QVERIFY(Relays(secure, plain));
        QVERIFY(Relays(plain, secure));
        QVERIFY(LogHas("logged in as \"alice\" over TLS"));
        QVERIFY(!LogHas("logged in as \"bob\" over TLS"));
        const QStringList status = m_server->StatusLines();
        QCOMPARE(status.filter("(TLS): \"alice\"").size(), 1);
        QCOMPARE(status.filter("(TLS)").size(), 1);
        const ServerSnapshot snapshot = m_server->Snapshot(10);
        QCOMPARE(snapshot.tlsPort, m_server->TlsPort());
        QCOMPARE(snapshot.connections.size(), std::size_t{2});
        for (const ServerSnapshot::Connection& row : snapshot.connections)
            QCOMPARE(row.tls, row.login == "alice");
    }

    void notTlsOnTheTlsPort_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("cause");
        QTest::newRow("silent, as a plain Kavlink waiting for its prompt")
            << QByteArray() << "TLS handshake not finished in time";
        QTest::newRow("a handshake that stops half way")
            << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)
            << "TLS handshake not finished in time";
        QTest::newRow("log-in answers at once") << QByteArray("alice\nsecret\n") << "handshake";
    }
    // Whatever comes that is not TLS ends unanswered: not a byte in clear, and the connection
    // counts as awaiting log-in until the log-in time-out at the latest.
    void notTlsOnTheTlsPort() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, cause);
        QVERIFY(Start());
        Raw client(m_server->TlsPort());
        QVERIFY(WaitFor([&] { return m_server->AwaitingLoginCount() == 1; }));
        client.socket.write(bytes);
        if (cause.contains("in time")) {
            QTest::qWait(50); // whatever was sent has arrived
            m_now += TestOptions().answerTimeoutMs - 1;
            m_server->Tick();
            QCOMPARE(m_server->AwaitingLoginCount(), 1);
            m_now += 1;
            m_server->Tick();
            QCOMPARE(m_server->AwaitingLoginCount(), 0);
        }
        QVERIFY(WaitFor([&] { return client.Closed(); }));
        QCOMPARE(m_server->ConnectionCount(), 0);
        QVERIFY2(!client.data.contains("login:"), client.data.constData());
        QVERIFY2(m_log.filter("disconnected").filter(cause).size() == 1, qPrintable(LogText()));
    }

    // A TLS client on the plain port fails its handshake at once; the server says why.
    void tlsClientOnThePlainPort() {
        QVERIFY(Start());
        Client client(m_server->Port(), true);
        QVERIFY(WaitFor([&] { return client.Closed() && m_server->ConnectionCount() == 0; }));
        QVERIFY(client.socket.error() == QAbstractSocket::SslHandshakeFailedError ||
                client.socket.error() == QAbstractSocket::RemoteHostClosedError);
        QVERIFY2(LogHas("a TLS handshake on the plain port"), qPrintable(LogText()));
    }

    void tls11IsRefused() {
        QVERIFY(Start());
        QProcess openssl;
        openssl.start("openssl",
                      {"s_client", "-connect", "127.0.0.1:" + QString::number(m_server->TlsPort()),
                       "-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"});
        openssl.closeWriteChannel();
        QVERIFY(WaitFor([&] { return openssl.state() == QProcess::NotRunning; }));
        const QByteArray out = openssl.readAllStandardOutput() + openssl.readAllStandardError();
        if (out.contains("no protocols available"))
            QSKIP("this OpenSSL will not offer TLS 1.1 at all");
        QVERIFY2(!out.contains("login:"), out.constData());
        QVERIFY(WaitFor([&] { return LogHas("unsupported protocol"); }));
        QCOMPARE(m_server->ConnectionCount(), 0);
    }

    // The per-address cap counts TLS connections still in their handshake with the plain ones.
    void limitsCountTlsConnections() {
        ServerOptions options = TestOptions();
        options.maxAwaitingPerAddress = 2;
        QVERIFY(Start(options));
        Raw first(m_server->TlsPort(), "127.0.0.2"), second(m_server->TlsPort(), "127.0.0.2");
        QVERIFY(WaitFor([&] { return m_server->AwaitingLoginCount() == 2; }));
        Raw third(m_server->Port(), "127.0.0.2");
        QVERIFY(WaitFor([&] { return third.Closed(); }));
        QCOMPARE(third.data, QByteArray());
        QVERIFY(LogHas("too many connections awaiting log-in from this address"));
        Client other(m_server->TlsPort(), true);
        QVERIFY(LogIn(other));
    }

    // Output waiting for a TLS client counts against its cap before and after encryption.
    void tlsClientThatStopsReadingIsDropped() {
        ServerOptions options = TestOptions();
        options.maxPendingWrite = qint64{256} * 1024;
        QVERIFY(Start(options));
        Client sender(m_server->Port(), false), reader(m_server->Port(), false),
            stuck(m_server->TlsPort(), true);
        QVERIFY(LogIn(sender));
        QVERIFY(LogIn(reader));
        QVERIFY(LogIn(stuck));
        // It stops reading, and the kernel holds little for it.
        stuck.socket.disconnect();
        stuck.socket.setReadBufferSize(1);
        stuck.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        const QByteArray burst = Line("ADDQSO: \"A\" \"\" " + QByteArray(980, 'q')).repeated(1000);
        qsizetype sent = 0;
        for (int round = 0; round < 40 && m_server->LoggedInCount() == 3; ++round) {
            sender.Write(burst);
            sent += burst.size();
            QVERIFY(WaitFor([&] { return reader.data.size() == 15 + sent; }));
        }
        QCOMPARE(m_server->LoggedInCount(), 2);
        QVERIFY2(m_log.filter("not reading").size() == 1, qPrintable(LogText()));
    }

    void reload_data() {
        QTest::addColumn<QString>("certificate"); // what the files hold at the reload
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("keyMode");
        QTest::addColumn<bool>("reloaded");
        QTest::addColumn<QString>("logged");
        QTest::newRow("renewed") << "two"
                                 << "two" << 0600 << true
                                 << "TLS certificate reloaded for new connections";
        QTest::newRow("renewed, key readable by anyone")
            << "two"
            << "two" << 0644 << true << "may be read by anyone";
        QTest::newRow("certificate file broken")
            << "garbage"
            << "two" << 0600 << false << "holds no PEM certificate";
        QTest::newRow("key of another certificate")
            << "two"
            << "one" << 0600 << false << "do not work together";
        QTest::newRow("RSA certificate, EC key")
            << "rsa"
            << "two" << 0600 << false << "no unencrypted RSA private key";
        QTest::newRow("key file missing")
            << "two"
            << "missing" << 0600 << false << "cannot read TLS key file";
        QTest::newRow("key file a FIFO") << "two"
                                         << "fifo" << 0600 << false << "is not a regular file";
    }
    // New connections get a renewed pair; a session that was logged in stays, with its own. A
    // pair that does not work keeps the one in use, and the log says which.
    void reload() {
        QFETCH(QString, certificate);
        QFETCH(QString, key);
        QFETCH(int, keyMode);
        QFETCH(bool, reloaded);
        QFETCH(QString, logged);
        QVERIFY(Start());
        Client old(m_server->TlsPort(), true);
        QVERIFY(LogIn(old));
        QCOMPARE(old.fingerprint, m_one.fingerprint);

        const auto place = [&](const QString& source, const QString& kind, const QString& to) {
            QFile::remove(to);
            if (source == "garbage") {
                QFile file(to);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write("-----BEGIN CERTIFICATE-----\nbroken\n");
            } else if (source == "fifo") {
                QCOMPARE(::mkfifo(QFile::encodeName(to).constData(), 0600), 0);
            } else if (source != "missing") {
                const TestCertificate& made = source == "one"   ? m_one
                                              : source == "two" ? m_two
                                                                : m_rsa;
                QVERIFY(QFile::copy(kind == "crt" ? made.certificate : made.key, to));
            }
        };
        place(certificate, "crt", Path("live.crt"));
        place(key, "key", Path("live.key"));
        if (QFile::exists(Path("live.key")))
            QCOMPARE(::chmod(QFile::encodeName(Path("live.key")).constData(),
                             static_cast<mode_t>(keyMode)),
                     0);
        m_log.clear();
        QCOMPARE(m_server->ReloadTls(), reloaded);
        QVERIFY2(LogHas(logged), qPrintable(LogText()));
        const QString now = reloaded ? m_two.fingerprint : m_one.fingerprint;
        QCOMPARE(m_server->TlsFingerprint(), now);
        QVERIFY2(LogHas(now), qPrintable(LogText()));
        if (!reloaded)
            QVERIFY(LogHas("TLS certificate not reloaded, keeping the one with SHA-256 "
                           "fingerprint " +
                           m_one.fingerprint));

        Client renewed(m_server->TlsPort(), true);
        QVERIFY(LogIn(renewed, "bob", "pw"));
        QCOMPARE(renewed.fingerprint, now);
        QVERIFY(!old.Closed());
        QVERIFY(Relays(renewed, old));
        QVERIFY(Relays(old, renewed));
    }

    void binaryRefusesBadTls_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("certificate without key") << QStringList{"--tls-cert", "<one.crt>"} << 2
                                                 << "--tls-cert and --tls-key go together";
        QTest::newRow("TLS port without TLS") << QStringList{"--tls-port", "10400"} << 2
                                              << "--tls-port needs --tls-cert and --tls-key";
        QTest::newRow("no plain without TLS")
            << QStringList{"--no-plain"} << 2 << "--no-plain needs --tls-cert and --tls-key";
        QTest::newRow("bad TLS port")
            << QStringList{"--tls-cert", "<one.crt>", "--tls-key", "<one.key>", "--tls-port", "x"}
            << 2 << "not a port number: x";
        QTest::newRow("one port for both")
            << QStringList{"--tls-cert", "<one.crt>", "--tls-key",  "<one.key>",
                           "--port",     "10400",     "--tls-port", "10400"}
            << 2 << "--port and --tls-port are both 10400";
        QTest::newRow("missing certificate")
            << QStringList{"--tls-cert", "<none.crt>", "--tls-key", "<one.key>"} << 1
            << "cannot read TLS certificate file";
        QTest::newRow("key of another certificate")
            << QStringList{"--tls-cert", "<one.crt>", "--tls-key", "<two.key>"} << 1
            << "do not work together";
        QTest::newRow("fingerprint of nothing")
            << QStringList{"--fingerprint", "<none.crt>"} << 1 << "cannot read TLS certificate";
        QTest::newRow("fingerprint of a key")
            << QStringList{"--fingerprint", "<one.key>"} << 1 << "holds no PEM certificate";
    }
    // The command line is checked first (status 2), then the files (status 1).
    void binaryRefusesBadTls() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, message);
        for (QString& argument : arguments) {
            if (argument.startsWith('<'))
                argument = Path(argument.mid(1).chopped(1));
        }
        QProcess process;
        process.start(KAVLINK_SERVER_BINARY,
                      arguments + QStringList{"--allow-any-login", "--listen", "127.0.0.1"});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QCOMPARE(process.exitCode(), status);
        QVERIFY2(err.contains(message), qPrintable(err));
    }

    // The real binary, TLS only: --fingerprint prints what openssl does; the log names the
    // certificate; SIGHUP brings a renewed one to new connections while a session stays.
    void binaryServesTlsAndReloads() {
        QProcess print;
        print.start(KAVLINK_SERVER_BINARY, {"--fingerprint", m_one.certificate});
        QVERIFY(print.waitForFinished(10000));
        QCOMPARE(print.exitCode(), 0);
        QCOMPARE(print.readAllStandardOutput(), m_one.fingerprint.toLatin1() + '\n');

        QProcess process;
        QByteArray err;
        QVERIFY(StartBinary(process,
                            {"--users", Path("users"), "--tls-cert", Path("live.crt"), "--tls-key",
                             Path("live.key"), "--tls-port", "0", "--no-plain"},
                            err, "TLS certificate: SHA-256 fingerprint " + m_one.fingerprint));
        const auto match =
            QRegularExpression("listening for TLS on 127.0.0.1 port (\\d+)").match(err);
        QVERIFY(match.hasMatch());
        QVERIFY2(!err.contains("listening on"), err.constData()); // no plain port
        const auto port = static_cast<quint16>(match.captured(1).toUInt());

        // Both answers at once, once the first prompt came; in once the second one has too.
        const auto logIn = [&](Client& client, const QByteArray& answers) {
            if (!WaitFor([&] { return client.data == "login:"; }))
                return false;
            client.Write(answers);
            return WaitFor([&] { return client.data == "login:password:"; });
        };
        Client old(port, true);
        QVERIFY(logIn(old, "alice\nsecret\n"));
        QVERIFY(StderrSays(process, err, "logged in as \"alice\" over TLS"));
        QCOMPARE(old.fingerprint, m_one.fingerprint);

        UseCertificate(m_two);
        ::kill(static_cast<pid_t>(process.processId()), SIGHUP);
        QVERIFY(StderrSays(process, err,
                           "TLS certificate reloaded for new connections: SHA-256 fingerprint " +
                               m_two.fingerprint));
        Client renewed(port, true);
        QVERIFY(logIn(renewed, "bob\npw\n"));
        QVERIFY(StderrSays(process, err, "logged in as \"bob\" over TLS"));
        QCOMPARE(renewed.fingerprint, m_two.fingerprint);
        QVERIFY(Relays(renewed, old));
        QVERIFY(Relays(old, renewed));

        process.terminate();
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServerTls)
#include "TestServerTls.moc"
