// The status port beside a live server on loopback, on the clock the test moves: what the
// page, the JSON and the metrics say after two sites logged in and relayed, and junk or too
// many connections on the port while lines are relayed.
#include "CStatusHttp.h"
#include "CTunnelServer.h"
#include "ServerLogIn.h"
#include "TestKit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
template <typename Predicate> bool WaitFor(Predicate predicate) {
    return QTest::qWaitFor(predicate, 10000);
}

// A raw client on loopback that keeps what it receives.
struct Client {
    QTcpSocket socket;
    QByteArray data;

    explicit Client(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { data += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void Write(const QByteArray& bytes) {
        socket.write(bytes);
        socket.flush();
    }
    bool Closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};

struct Answer {
    int status = 0;
    QByteArray type;
    QByteArray body;
};
} // namespace

class TestStatusHttp : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CTunnelServer> m_server;
    std::unique_ptr<CStatusHttp> m_http;
    QTemporaryDir m_dir;
    QNetworkAccessManager m_web;
    qint64 m_now = 1000000; // milliseconds, for the server and the status port alike

    bool Start(CStatusHttp::Settings settings = {}) {
        ServerOptions options;
        options.listenAddress = QHostAddress::LocalHost;
        options.port = 0;
        options.usersFile = m_dir.filePath("users");
        options.heartbeatMs = 0;
        options.tickMs = 0;
        m_server = std::make_unique<CTunnelServer>(options);
        m_server->SetLogSink([](const QString&) {});
        m_server->SetClock([this] { return m_now * 1000000; });
        m_http = std::make_unique<CStatusHttp>(
            settings, [this](int maxRows) { return m_server->Snapshot(maxRows); },
            [this] { return m_now; });
        QString error;
        return m_server->LoadUsers(&error) && m_server->Listen(&error) && m_http->Listen(&error);
    }

    bool LogIn(Client& client, const QByteArray& login, const QByteArray& password) {
        return ServerLogIn(
            client, login, password, [](auto predicate) { return WaitFor(predicate); },
            [this] { return m_server->LoggedInCount(); });
    }

    Answer Get(const QString& path, quint16 port = 0) {
        const QUrl url(QStringLiteral("http://127.0.0.1:%1%2")
                           .arg(port != 0 ? port : m_http->Port())
                           .arg(path));
        std::unique_ptr<QNetworkReply> reply(m_web.get(QNetworkRequest(url)));
        if (!WaitFor([&] { return reply->isFinished(); }))
            return {};
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                reply->header(QNetworkRequest::ContentTypeHeader).toByteArray(), reply->readAll()};
    }

    // A line from a to b while something else goes on at the status port.
    bool Relays(Client& from, Client& to) {
        const QByteArray line = Line("ADDQSO: \"A\" \"\" 14025.0 CW");
        const qsizetype before = to.data.size();
        from.Write(line);
        return WaitFor([&] { return to.data.size() == before + line.size(); }) &&
               to.data.endsWith(line);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        QFile users(m_dir.filePath("users"));
        QVERIFY(users.open(QIODevice::WriteOnly));
        users.write("alice:secret\nbob:hunter 2\n");
        m_web.setProxy(QNetworkProxy::NoProxy);
    }
    void cleanup() {
        m_http.reset();
        m_server.reset();
    }

    // Two sites logged in and relaying, and a third that typed a password as its login: the
    // page and the JSON name both logins, the metrics count them, and nothing shows a password.
    void twoSitesOnEveryAnswer() {
        QVERIFY(Start());
        const Answer first = Get("/metrics");
        QCOMPARE(first.status, 200);
        QVERIFY(first.body.contains("\nkavlink_clients{state=\"logged_in\"} 0\n"));
        Client a(m_server->Port()), b(m_server->Port()), confused(m_server->Port());
        QVERIFY(LogIn(a, "alice", "secret"));
        QVERIFY(LogIn(b, "bob", "hunter 2"));
        QVERIFY(Relays(a, b));
        QVERIFY(Relays(a, b));
        QVERIFY(Relays(b, a));
        QVERIFY(WaitFor([&] { return confused.data == "login:"; }));
        confused.Write("secret\n");
        QVERIFY(WaitFor([&] { return confused.data == "login:password:"; }));

        // Made at most once a second.
        QCOMPARE(Get("/metrics").body, first.body);
        m_now += 1000;

        const Answer metrics = Get("/metrics");
        QCOMPARE(metrics.type, "text/plain; version=0.0.4; charset=utf-8");
        for (const char* sample :
             {"kavlink_clients{state=\"logged_in\"} 2", "kavlink_clients{state=\"pending\"} 1",
              "kavlink_lines_received_total 3", "kavlink_lines_sent_total 3",
              "kavlink_logins_total{result=\"ok\"} 2", "kavlink_logins_total{result=\"failed\"} 0",
              "kavlink_output_bytes_waiting 0"})
            QVERIFY2(metrics.body.contains('\n' + QByteArray(sample) + '\n'), sample);

        const Answer page = Get("/");
        QCOMPARE(page.type, "text/html; charset=utf-8");
        QVERIFY(page.body.contains("<td>alice</td>"));
        QVERIFY(page.body.contains("<td>bob</td>"));
        QVERIFY(page.body.contains("awaiting log-in</td>"));

        const Answer json = Get("/status.json");
        QCOMPARE(json.type, "application/json");
        QStringList logins;
        for (const QJsonValue c : QJsonDocument::fromJson(json.body)["connections"].toArray())
            logins << c["login"].toString();
        QCOMPARE(logins, (QStringList{"alice", "bob", ""}));

        for (const Answer& answer : {metrics, page, json}) {
            QVERIFY(!answer.body.contains("secret"));
            QVERIFY(!answer.body.contains("hunter"));
        }
        QCOMPARE(Get("/nothing").status, 404);
    }

    void junkIsClosedWhileLinesAreRelayed_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("atOnce"); // else at the request's deadline
        QTest::newRow("binary") << QByteArray("\x00\x01\x02\xff\xfe\r\n\r\n", 9) << true;
        QTest::newRow("not HTTP") << QByteArray("HELLO THERE\r\n\r\n") << true;
        QTest::newRow("TLS hello")
            << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) << true;
        QTest::newRow("tunnel log-in") << QByteArray("alice\nsecret\n") << true;
        QTest::newRow("binary without a line end") << QByteArray("\x80\x81\xff") << true;
        QTest::newRow("header past the bound")
            << "GET / HTTP/1.1\r\nX: " + QByteArray(256 * 1024, 'a') << true;
        QTest::newRow("request never finished")
            << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << false;
        QTest::newRow("silent") << QByteArray() << false;
    }
    void junkIsClosedWhileLinesAreRelayed() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, atOnce);
        CStatusHttp::Settings settings;
        QVERIFY(Start(settings));
        Client a(m_server->Port()), b(m_server->Port());
        QVERIFY(LogIn(a, "alice", "secret"));
        QVERIFY(LogIn(b, "bob", "hunter 2"));

        Client junk(m_http->Port());
        QVERIFY(WaitFor([&] { return m_http->ConnectionCount() == 1; }));
        junk.Write(bytes);
        QVERIFY(Relays(a, b));
        if (atOnce) {
            QVERIFY(WaitFor([&] { return junk.Closed(); }));
        } else {
            QVERIFY(Relays(b, a));
            QVERIFY(!junk.Closed());
            m_now += settings.requestTimeoutMs - 1;
            m_http->Tick(m_now);
            QVERIFY(Relays(a, b));
            QVERIFY(!junk.Closed());
            m_now += 1;
            m_http->Tick(m_now);
            QVERIFY(WaitFor([&] { return junk.Closed(); }));
        }
        QVERIFY(junk.data.isEmpty());
        QVERIFY(WaitFor([&] { return m_http->ConnectionCount() == 0; }));
        QVERIFY(Relays(b, a));
        QCOMPARE(Get("/metrics").status, 200);
    }

    // Past the bound a connection is closed as it comes; an answered request gives its
    // connection a new deadline.
    void connectionsAreBounded() {
        CStatusHttp::Settings settings;
        settings.maxConnections = 2;
        QVERIFY(Start(settings));
        Client idle(m_http->Port());
        QVERIFY(WaitFor([&] { return m_http->ConnectionCount() == 1; }));
        m_now += settings.requestTimeoutMs - 1;
        QCOMPARE(Get("/").status, 200); // on a connection of its own, kept alive
        Client extra(m_http->Port());
        QVERIFY(WaitFor([&] { return extra.Closed(); }));
        QCOMPARE(m_http->Refused(), std::uint64_t(1));

        m_now += 1;
        m_http->Tick(m_now);
        QVERIFY(WaitFor([&] { return idle.Closed() && m_http->ConnectionCount() == 1; }));
        Client next(m_http->Port());
        QVERIFY(WaitFor([&] { return m_http->ConnectionCount() == 2; }));
        QVERIFY(!next.Closed());
    }

    // The program itself: --http puts the port where the log says.
    void binaryServesTheStatusPort() {
        QProcess process;
        process.start(KAVLINK_SERVER_BINARY, {"--allow-any-login", "--listen", "127.0.0.1",
                                              "--port", "0", "--http", "127.0.0.1:0"});
        const QRegularExpression where("status page on http://127.0.0.1:(\\d+)/");
        QByteArray err;
        QRegularExpressionMatch match;
        QVERIFY(WaitFor([&] {
            err += process.readAllStandardError();
            match = where.match(QString::fromUtf8(err));
            return match.hasMatch();
        }));
        const Answer metrics = Get("/metrics", static_cast<quint16>(match.captured(1).toUInt()));
        QCOMPARE(metrics.status, 200);
        QVERIFY(metrics.body.contains("\nprocess_open_fds "));
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestStatusHttp)
#include "TestStatusHttp.moc"
