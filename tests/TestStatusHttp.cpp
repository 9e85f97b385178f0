// The status port beside a live server on loopback, on the clock the test moves: what the
// page, the JSON and the metrics say after two sites logged in and relayed; junk, refused
// requests, idle connections and a full port while lines are relayed; the port on its own
// thread, and the program ending on SIGTERM while nobody reads its standard error.
#include "CStatusHttp.h"
#include "CTunnelServer.h"
#include "EventWait.h"
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
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {
template <typename Predicate> bool WaitFor(Predicate predicate) {
    return WaitForEvents(predicate);
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

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

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
    bool m_holdState = false; // the server's state is asked for and not yet handed over
    std::vector<int> m_asked; // the rows of each state asked for and held
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
            settings, [this](int maxRows) { Ask(maxRows); }, [this] { return m_now; });
        QString error;
        return m_server->LoadUsers(&error) && m_server->Listen(&error) && m_http->Listen(&error);
    }

    // As the program asks its relay: handed over later, from the loop.
    void Ask(int maxRows) {
        if (m_holdState) {
            m_asked.push_back(maxRows);
            return;
        }
        QMetaObject::invokeMethod(
            m_http.get(),
            [this, maxRows] { m_http->Deliver(maxRows, m_server->Snapshot(maxRows)); },
            Qt::QueuedConnection);
    }
    void HandOver() {
        m_holdState = false;
        for (const int maxRows : std::exchange(m_asked, {}))
            Ask(maxRows);
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
        m_holdState = false;
        m_asked.clear();
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

    // What Qt's parser never gets: junk and requests past the bound are closed, requests it
    // would warn about or that bring a body are answered and closed, and one that never ends
    // is closed at its deadline.
    void junkIsClosedWhileLinesAreRelayed_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("answer"); // how it starts; none when empty
        QTest::addColumn<bool>("atOnce");       // else at the request's deadline
        QTest::newRow("binary") << QByteArray("\x00\x01\x02\xff\xfe\r\n\r\n", 9) << QByteArray()
                                << true;
        QTest::newRow("not HTTP") << QByteArray("HELLO THERE\r\n\r\n") << QByteArray() << true;
        QTest::newRow("TLS hello") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)
                                   << QByteArray() << true;
        QTest::newRow("tunnel log-in") << QByteArray("alice\nsecret\n") << QByteArray() << true;
        QTest::newRow("binary without a line end")
            << QByteArray("\x80\x81\xff") << QByteArray() << true;
        QTest::newRow("header past the bound")
            << "GET / HTTP/1.1\r\nX: " + QByteArray(256 * 1024, 'a') << QByteArray() << true;
        QTest::newRow("request line past the bound")
            << "GET /" + QByteArray(9000, 'a') << QByteArray() << true;
        QTest::newRow("pipelined")
            << QByteArray("GET /metrics HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n") << QByteArray()
            << true;
        QTest::newRow("WebSocket upgrade")
            << QByteArray(
                   "GET / HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                   "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
                   "dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
            << QByteArray("HTTP/1.1 501 ") << true;
        QTest::newRow("h2c upgrade") << QByteArray("GET / HTTP/1.1\r\nupgrade: h2c\r\n\r\n")
                                     << QByteArray("HTTP/1.1 501 ") << true;
        QTest::newRow("CONNECT") << QByteArray("CONNECT /x:443 HTTP/1.1\r\n\r\n")
                                 << QByteArray("HTTP/1.1 405 ") << true;
        QTest::newRow("POST") << QByteArray("POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi")
                              << QByteArray("HTTP/1.1 405 ") << true;
        QTest::newRow("GET with a body")
            << QByteArray("GET / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello")
            << QByteArray("HTTP/1.1 400 ") << true;
        QTest::newRow("chunked") << QByteArray(
                                        "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")
                                 << QByteArray("HTTP/1.1 400 ") << true;
        QTest::newRow("bad header name") << QByteArray("GET / HTTP/1.1\r\nBad Header: x\r\n\r\n")
                                         << QByteArray("HTTP/1.1 400 ") << true;
        QTest::newRow("folded header") << QByteArray("GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n")
                                       << QByteArray("HTTP/1.1 400 ") << true;
        QTest::newRow("control byte in a header") << QByteArray("GET / HTTP/1.1\r\nA: \x01\r\n\r\n")
                                                  << QByteArray("HTTP/1.1 400 ") << true;
        QTest::newRow("request never finished")
            << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << QByteArray() << false;
    }
    void junkIsClosedWhileLinesAreRelayed() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, answer);
        QFETCH(bool, atOnce);
        CStatusHttp::Settings settings;
        settings.idleMs = settings.requestTimeoutMs * 2; // the request's own deadline comes first
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
        if (answer.isEmpty()) {
            QCOMPARE(junk.data, QByteArray());
        } else {
            QVERIFY2(junk.data.startsWith(answer), junk.data.constData());
            QVERIFY(junk.data.contains("\r\nConnection: close\r\n"));
        }
        QVERIFY(WaitFor([&] { return m_http->ConnectionCount() == 0; }));
        QVERIFY(Relays(b, a));
        QCOMPARE(Get("/metrics").status, 200);
    }

    // A connection without a request in progress is closed after the idle limit, from its
    // connect or from its last answer; one kept alive and asking again is not.
    void idleConnectionsAreClosed_data() {
        QTest::addColumn<int>("requests"); // answered before the wait
        QTest::newRow("silent since the connect") << 0;
        QTest::newRow("after an answer") << 1;
        QTest::newRow("after two answers") << 2;
    }
    void idleConnectionsAreClosed() {
        QFETCH(int, requests);
        CStatusHttp::Settings settings;
        settings.idleMs = 3000; // apart from the request's deadline
        QVERIFY(Start(settings));
        Client client(m_http->Port());
        QVERIFY(WaitFor([&] { return m_http->ConnectionCount() == 1; }));
        for (int i = 1; i <= requests; ++i) {
            m_now += settings.idleMs - 1; // asking again in time keeps it
            m_http->Tick(m_now);
            client.Write("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
            QVERIFY(WaitFor([&] { return client.data.count("HTTP/1.1 200 ") == i; }));
        }
        QVERIFY(WaitFor([&] { return client.socket.bytesToWrite() == 0; }));
        m_now += settings.idleMs - 1;
        m_http->Tick(m_now);
        QVERIFY(!client.Closed());
        m_now += 1;
        m_http->Tick(m_now);
        QVERIFY(WaitFor([&] { return client.Closed() && m_http->ConnectionCount() == 0; }));
    }

    // A full port: a newcomer takes the place of the oldest connection that only holds one,
    // so the operator's request is answered; it is refused only when every place has a
    // request in progress, and those are all answered, in order, once the state comes.
    void fullPortMakesRoom_data() {
        QTest::addColumn<QByteArray>("held"); // what each of the others sent
        QTest::addColumn<bool>("served");
        QTest::newRow("idle") << QByteArray() << true;
        QTest::newRow("a request still coming") << QByteArray("GET / HTTP/1.1\r\n") << true;
        QTest::newRow("answered and kept alive")
            << QByteArray("GET /metrics HTTP/1.1\r\n\r\n") << true;
        QTest::newRow("waiting for the state")
            << QByteArray("GET /metrics HTTP/1.1\r\n\r\n") << false;
    }
    void fullPortMakesRoom() {
        QFETCH(QByteArray, held);
        QFETCH(bool, served);
        CStatusHttp::Settings settings;
        QVERIFY(Start(settings));
        m_holdState = !served;
        std::vector<std::unique_ptr<Client>> others;
        for (int i = 0; i < settings.maxConnections; ++i) {
            others.push_back(std::make_unique<Client>(m_http->Port()));
            QVERIFY(WaitFor([&] { return m_http->ConnectionCount() == i + 1; }));
            if (!held.isEmpty())
                others.back()->Write(held);
            m_now += 1; // the first is the oldest
        }
        if (!held.isEmpty() && !held.endsWith("\r\n\r\n"))
            QVERIFY(WaitFor([&] { return m_http->IdleCount() == 0; }));
        if (held.endsWith("\r\n\r\n") && served)
            QVERIFY(WaitFor([&] {
                return std::all_of(others.begin(), others.end(),
                                   [](const auto& c) { return c->data.contains("\r\n\r\n"); });
            }));
        if (!served) {
            QVERIFY(WaitFor([&] { return m_http->WaitingCount() == settings.maxConnections; }));
            QCOMPARE(m_asked.size(), std::size_t(1));
            Client newcomer(m_http->Port());
            QVERIFY(WaitFor([&] { return newcomer.Closed(); }));
            QCOMPARE(m_http->Refused(), std::uint64_t(1));
            QCOMPARE(m_http->Evicted(), std::uint64_t(0));
            HandOver();
            QVERIFY(WaitFor([&] {
                return std::all_of(others.begin(), others.end(), [](const auto& c) {
                    return c->data.startsWith("HTTP/1.1 200 ") && !c->Closed();
                });
            }));
            return;
        }
        const Answer metrics = Get("/metrics");
        QCOMPARE(metrics.status, 200);
        QVERIFY(metrics.body.contains("\nkavlink_clients{state=\"logged_in\"} 0\n"));
        QCOMPARE(m_http->Refused(), std::uint64_t(0));
        QCOMPARE(m_http->Evicted(), std::uint64_t(1));
        QVERIFY(WaitFor([&] { return others.front()->Closed(); }));
        for (std::size_t i = 1; i < others.size(); ++i)
            QVERIFY(!others[i]->Closed());
        QCOMPARE(m_http->ConnectionCount(), settings.maxConnections);
    }

    // The program's way: the port on its own thread, the state taken on this one.
    void portOnItsOwnThread() {
        QVERIFY(Start());
        CStatusPort port({}, [this](int maxRows) { return m_server->Snapshot(maxRows); });
        QString error;
        QVERIFY2(port.Start(&error), qPrintable(error));
        Client a(m_server->Port());
        QVERIFY(LogIn(a, "alice", "secret"));
        const Answer metrics = Get("/metrics", port.Port());
        QCOMPARE(metrics.status, 200);
        QVERIFY(metrics.body.contains("\nkavlink_clients{state=\"logged_in\"} 1\n"));
        QVERIFY(Get("/", port.Port()).body.contains("<td>alice</td>"));
        Client idle(port.Port());
        QVERIFY(WaitFor([&] { return idle.socket.state() == QAbstractSocket::ConnectedState; }));
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

    // The program with its standard error a full pipe that nobody reads: the relay and the
    // status port go on, requests Qt would complain about included, and SIGTERM ends it.
    void binaryEndsOnSigtermWithStderrFull() {
        int fds[2];
        QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
        ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
        const int flags = ::fcntl(fds[1], F_GETFL);
        ::fcntl(fds[1], F_SETFL, flags | O_NONBLOCK);
        const QByteArray fill(4096, 'x');
        while (::write(fds[1], fill.constData(), static_cast<std::size_t>(fill.size())) > 0) {
        }
        ::fcntl(fds[1], F_SETFL, flags); // the program's writes would wait, as on a terminal
        const quint16 port = FreePort();
        const quint16 http = FreePort();
        QProcess process;
        process.setChildProcessModifier([fd = fds[1]] { ::dup2(fd, STDERR_FILENO); });
        process.start(KAVLINK_SERVER_BINARY,
                      {"--allow-any-login", "--heartbeat", "0", "--listen", "127.0.0.1", "--port",
                       QString::number(port), "--http", QStringLiteral("127.0.0.1:%1").arg(http)});
        ::close(fds[1]);
        QVERIFY(WaitFor([&] { return Get("/metrics", http).status == 200; }));
        for (int i = 0; i < 50; ++i) {
            Client upgrade(http);
            QVERIFY(
                WaitFor([&] { return upgrade.socket.state() == QAbstractSocket::ConnectedState; }));
            upgrade.Write("GET / HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n");
            QVERIFY(WaitFor([&] { return upgrade.Closed(); }));
            QVERIFY(upgrade.data.startsWith("HTTP/1.1 501 "));
        }
        Client a(port), b(port);
        for (Client* c : {&a, &b}) {
            QVERIFY(WaitFor([&] { return c->socket.state() == QAbstractSocket::ConnectedState; }));
            QVERIFY(WaitFor([&] { return c->data == "login:"; }));
            c->Write("site\n");
            QVERIFY(WaitFor([&] { return c->data == "login:password:"; }));
            c->Write("pw\n");
        }
        QVERIFY(WaitFor([&] {
            return Get("/metrics", http)
                .body.contains("\nkavlink_clients{state=\"logged_in\"} 2\n");
        }));
        QVERIFY(Relays(a, b));
        QCOMPARE(Get("/metrics", http).status, 200);
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        ::close(fds[0]);
    }
};

QTEST_GUILESS_MAIN(TestStatusHttp)
#include "TestStatusHttp.moc"
