// The tunnel client over TLS against a TLS server on loopback, with certificates made for the
// run: a pinned self-signed one, a wrong pin, an authority the client trusts, a name that does
// not match, and a server that speaks no TLS at all.
#include "CDebugLog.h"
#include "CTcpClient.h"
#include "CTunnelHub.h"
#include "Fingerprint.h"
#include "Settings.h"
#include "TestCertificates.h"
#include "TestKit.h"

#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
// What a client saw: connected, the server's first words, or its end with the cause.
struct Outcome {
    bool connected = false;
    bool closed = false;
    QByteArray received;
};

std::unique_ptr<CTcpClient> Client(Outcome& outcome) {
    auto client = std::make_unique<CTcpClient>();
    // Every name is this machine: the server listens on IPv4 loopback only.
    client->SetResolver(
        [](const std::string&) { return QList<QHostAddress>{QHostAddress::LocalHost}; });
    QObject::connect(client.get(), &CTcpClient::tunnelConnected,
                     [&outcome] { outcome.connected = true; });
    QObject::connect(client.get(), &CTcpClient::tunnelClosed,
                     [&outcome] { outcome.closed = true; });
    QObject::connect(client.get(), &CTcpClient::textReceived,
                     [&outcome](const QByteArray& text) { outcome.received += text; });
    return client;
}

QSslCertificate Certificate(const TestCertificate& made) {
    const QList<QSslCertificate> read = QSslCertificate::fromPath(made.certificate);
    return read.isEmpty() ? QSslCertificate() : read.first();
}

// A TLS server that greets every client as the tunnel server does.
class TlsServer {
public:
    // Stops reading each client once its handshake is done: the client's writes back up.
    void StopReading() { m_stopReading = true; }
    void CloseAll() {
        for (QSslSocket* peer : m_server.findChildren<QSslSocket*>())
            peer->disconnectFromHost();
    }

    bool Listen(const TestCertificate& made) {
        QFile keyFile(made.key);
        if (!keyFile.open(QIODevice::ReadOnly))
            return false;
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(Certificate(made));
        tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Ec));
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_server.setSslConfiguration(tls);
        QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, [this] {
            while (QTcpSocket* peer = m_server.nextPendingConnection()) {
                peer->write("login:");
                if (m_stopReading)
                    peer->setReadBufferSize(1);
            }
        });
        return m_server.listen(QHostAddress::LocalHost, 0);
    }
    quint16 Port() const { return m_server.serverPort(); }

private:
    QSslServer m_server;
    bool m_stopReading = false;
};
} // namespace

class TestTunnelTls : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TestCertificate m_selfSigned;
    TestCertificate m_other;
    TestCertificate m_authority;
    TestCertificate m_signedLocalhost;
    TestCertificate m_signedElsewhere;

private slots:
    void initTestCase() {
        if (!HaveOpenssl())
            QSKIP("the openssl command makes the certificates");
        const QString dir = m_dir.path();
        m_selfSigned = MakeSelfSigned(dir, "self");
        m_other = MakeSelfSigned(dir, "other");
        m_authority = MakeAuthority(dir, "authority");
        m_signedLocalhost = MakeSigned(dir, "signed-localhost", m_authority, "localhost");
        m_signedElsewhere = MakeSigned(dir, "signed-elsewhere", m_authority, "elsewhere.example");
        for (const TestCertificate* made :
             {&m_selfSigned, &m_other, &m_authority, &m_signedLocalhost, &m_signedElsewhere})
            QVERIFY(made->IsValid());
    }

    void certificates_data() {
        QTest::addColumn<QString>("served");      // which certificate the server shows
        QTest::addColumn<QString>("host");        // what the client connects to
        QTest::addColumn<QString>("pin");         // the client's TlsFingerprint
        QTest::addColumn<bool>("trustAuthority"); // the test's authority beside the system's
        QTest::addColumn<bool>("accepted");
        QTest::newRow("pinned, as openssl prints it") << "self"
                                                      << "127.0.0.1"
                                                      << "self" << false << true;
        QTest::newRow("pinned, plain lower-case hex") << "self"
                                                      << "127.0.0.1"
                                                      << "self-plain" << false << true;
        QTest::newRow("pinned, another certificate served") << "self"
                                                            << "127.0.0.1"
                                                            << "other" << false << false;
        QTest::newRow("pinned beats a trusted authority") << "signed-localhost"
                                                          << "localhost"
                                                          << "other" << true << false;
        QTest::newRow("trusted authority, the host's name") << "signed-localhost"
                                                            << "localhost"
                                                            << "" << true << true;
        QTest::newRow("trusted authority, another name") << "signed-elsewhere"
                                                         << "localhost"
                                                         << "" << true << false;
        QTest::newRow("self-signed, nobody trusts it") << "self"
                                                       << "localhost"
                                                       << "" << false << false;
    }
    void certificates() {
        QFETCH(QString, served);
        QFETCH(QString, host);
        QFETCH(QString, pin);
        QFETCH(bool, trustAuthority);
        QFETCH(bool, accepted);
        const TestCertificate& shown = served == "self"               ? m_selfSigned
                                       : served == "signed-localhost" ? m_signedLocalhost
                                                                      : m_signedElsewhere;
        TlsServer server;
        QVERIFY(server.Listen(shown));
        TunnelTls tls{true, {}};
        if (pin == "self")
            tls.fingerprint = m_selfSigned.fingerprint.toStdString();
        else if (pin == "self-plain")
            tls.fingerprint = QString(m_selfSigned.fingerprint).remove(':').toLower().toStdString();
        else if (pin == "other")
            tls.fingerprint = m_other.fingerprint.toStdString();

        Outcome outcome;
        const std::unique_ptr<CTcpClient> client = Client(outcome);
        if (trustAuthority)
            client->SetExtraCaCertificates({Certificate(m_authority)});
        client->Connect(host.toStdString(), server.Port(), tls);
        QTRY_VERIFY(outcome.connected || outcome.closed);
        QCOMPARE(outcome.connected, accepted);
        if (accepted) {
            QTRY_COMPARE(outcome.received, QByteArray("login:"));
            // The handshake's warnings, overruled by a pin, are no cause of a later end.
            server.CloseAll();
            QTRY_VERIFY(outcome.closed);
            QCOMPARE(client->Cause(), DisconnectCause::ClosedByServer);
            return;
        }
        QCOMPARE(client->Cause(), DisconnectCause::CertificateRefused);
        // The log and the status name the certificate that was seen.
        QVERIFY2(QString::fromStdString(client->CauseDetail()).contains(shown.fingerprint),
                 client->CauseDetail().c_str());
        QVERIFY(outcome.received.isEmpty());
    }

    // A server without TLS answers the handshake with its prompt in clear: a clear end, no
    // hang, and the prompt never taken for the tunnel's.
    void plainServerEndsTheHandshake() {
        QTcpServer plain;
        QVERIFY(plain.listen(QHostAddress::LocalHost, 0));
        connect(&plain, &QTcpServer::newConnection, [&plain] {
            while (QTcpSocket* peer = plain.nextPendingConnection())
                peer->write("login:");
        });
        Outcome outcome;
        const std::unique_ptr<CTcpClient> client = Client(outcome);
        client->Connect("127.0.0.1", plain.serverPort(), TunnelTls{true, {}});
        QTRY_VERIFY(outcome.closed);
        QVERIFY(!outcome.connected);
        QVERIFY(outcome.received.isEmpty());
        QCOMPARE(client->Cause(), DisconnectCause::TlsFailed);
    }

    // A wrong pin is refused every 5 s until someone fixes it: the first refusal is logged in
    // full, the ones like it only as a count once a minute, and an attempt that ends
    // otherwise is logged in full again.
    void repeatedRefusalsAreSummed() {
        TlsServer server;
        QVERIFY(server.Listen(m_selfSigned));
        QTemporaryDir dir;
        const std::string iniPath = (dir.path() + "/Kavlink.ini").toStdString();
        CDebugLog log;
        log.StartDebugLog(1, iniPath, dir.path().toStdString() + "/");
        Settings settings;
        settings.Hostname = "127.0.0.1";
        settings.TunnelPortNumber = server.Port();
        settings.Tls = 1;
        settings.TlsFingerprint = m_other.fingerprint.toStdString();
        std::int64_t monotonic = 0;
        CTunnelHub hub(settings, log);
        hub.SetMonotonicClock([&monotonic] { return monotonic; });
        hub.SetManualTimers(true);
        int seen = 0;
        const auto newLines = [&] {
            return NewLogTexts(QString::fromStdString(CDebugLog::LogFilePath(iniPath, "")), seen);
        };
        const auto attempt = [&] {
            monotonic += 5 * kNanosecondsPerSecond;
            hub.OnTimer(TunnelTimer::Reconnect);
            QTRY_VERIFY(hub.IsTimerRunning(TunnelTimer::Reconnect));
        };
        hub.ConnectTunnel();
        QTRY_VERIFY(hub.IsTimerRunning(TunnelTimer::Reconnect));
        QStringList lines = newLines().filter(QRegularExpression("^(?!-- Debug Start)"));
        QVERIFY2(lines.size() == 3, qPrintable(lines.join('\n')));
        QCOMPARE(lines[0], "Connecting tunnel...");
        QCOMPARE(lines[1], "Tunnel disconnected");
        QVERIFY(lines[2].startsWith("Disconnect cause : certificate refused"));
        for (int i = 0; i < 11; ++i)
            attempt();
        QCOMPARE(newLines(), QStringList{});
        attempt(); // a minute after the first
        QCOMPARE(newLines(),
                 QStringList{"Certificate refused again on 12 more attempts, as above"});
        attempt();
        // The pin fixed: the attempt is logged from its start, after the count so far.
        settings.TlsFingerprint = m_selfSigned.fingerprint.toStdString();
        monotonic += 5 * kNanosecondsPerSecond;
        hub.OnTimer(TunnelTimer::Reconnect);
        // The server's prompt is answered at once.
        QTRY_COMPARE(hub.State(), TunnelState::AwaitPassword);
        QCOMPARE(newLines(), (QStringList{"Certificate refused again on 1 more attempt, as above",
                                          "Connecting tunnel..."}));
    }

    // What the kernel cannot take waits in the process, encrypted or not yet, and is counted
    // there: a writer that writes only while the client is drained holds at most one line
    // back, however long the server does not read.
    void backlogCountedWhereItWaits() {
        TlsServer server;
        server.StopReading();
        QVERIFY(server.Listen(m_selfSigned));
        Outcome outcome;
        const std::unique_ptr<CTcpClient> client = Client(outcome);
        client->Connect("127.0.0.1", server.Port(),
                        TunnelTls{true, m_selfSigned.fingerprint.toStdString()});
        QTRY_VERIFY(outcome.connected);
        const QByteArray line = "ADDQSO: \"L1\" \"\" " + QByteArray(200, 'x') + '\x80';
        int written = 0;
        int blockedTurns = 0;
        // The kernel's buffers on both ends hold some hundred kilobytes before it stops.
        for (int turn = 0; turn < 200000 && blockedTurns < 200; ++turn) {
            if (client->IsDrained()) {
                QVERIFY(client->SendText(line.constData()));
                ++written;
                blockedTurns = 0;
            } else {
                ++blockedTurns;
            }
            QCoreApplication::processEvents();
        }
        QCOMPARE(blockedTurns, 200);
        QVERIFY2(client->PendingBytes() > 0, "the backlog shows in the process");
        // One line and its TLS record's overhead at most.
        QVERIFY2(client->PendingBytes() <= line.size() + 64,
                 qPrintable(QString::number(client->PendingBytes())));
        QVERIFY2(qint64{written} * line.size() < 16 * 1024 * 1024, "the writer was held back");
    }
};

QTEST_GUILESS_MAIN(TestTunnelTls)
#include "TestTunnelTls.moc"
