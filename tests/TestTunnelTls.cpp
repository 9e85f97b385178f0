// The tunnel client over TLS against a TLS server on loopback, with certificates made for the
// run: a pinned self-signed one, a wrong pin, an authority the client trusts, a name that does
// not match, and a server that speaks no TLS at all.
#include "CTcpClient.h"
#include "Fingerprint.h"
#include "TestCertificates.h"

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
            while (QTcpSocket* peer = m_server.nextPendingConnection())
                peer->write("login:");
        });
        return m_server.listen(QHostAddress::LocalHost, 0);
    }
    quint16 Port() const { return m_server.serverPort(); }

private:
    QSslServer m_server;
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
};

QTEST_GUILESS_MAIN(TestTunnelTls)
#include "TestTunnelTls.moc"
