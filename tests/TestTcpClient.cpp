#include "CScriptedTunnelServer.h"
#include "CTcpClient.h"
#include "SocketOptions.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <functional>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {
const QEvent::Type kMarker = static_cast<QEvent::Type>(QEvent::User + 100);

enum Notification { Data, Connected, Closed };

// Stands in for the hub: records the client's signals in order.
class CRecorder : public QObject {
public:
    QList<QByteArray> chunks;
    QStringList order;
    int connected = 0;
    int closed = 0;
    int markers = 0;
    std::function<void(int)> onNotification;

    QByteArray Joined() const { return chunks.join(); }

    // The client to record; returned for chaining.
    CTcpClient* Watch(CTcpClient* client) {
        connect(client, &CTcpClient::textReceived, this, [this](const QByteArray& chunk) {
            chunks << chunk;
            Note(Data, QStringLiteral("data"));
        });
        connect(client, &CTcpClient::tunnelConnected, this, [this] {
            ++connected;
            Note(Connected, QStringLiteral("connected"));
        });
        connect(client, &CTcpClient::tunnelClosed, this, [this] {
            ++closed;
            Note(Closed, QStringLiteral("closed"));
        });
        return client;
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() != kMarker)
            return QObject::event(e);
        ++markers;
        return true;
    }

private:
    void Note(Notification type, const QString& name) {
        order << name;
        if (onNotification)
            onNotification(type);
    }
};

// Every socket event already queued has been handled once a marker posted now arrives.
void Settle(CRecorder& recorder) {
    const int before = recorder.markers;
    QCoreApplication::postEvent(&recorder, new QEvent(kMarker));
    QTRY_COMPARE(recorder.markers, before + 1);
}
} // namespace

class TestTcpClient : public QObject {
    Q_OBJECT

private:
    QTcpServer* m_server = nullptr;
    CRecorder* m_recorder = nullptr;
    QPointer<CTcpClient> m_client;
    QTcpSocket* m_peer = nullptr;

    // Connects the client to the test server and takes the server's end.
    void ConnectClient() {
        m_client->Connect("127.0.0.1", m_server->serverPort());
        QTRY_COMPARE(m_recorder->connected, 1);
        QTRY_VERIFY(m_server->hasPendingConnections());
        m_peer = m_server->nextPendingConnection();
    }

    static QByteArray Burst(int size) {
        QByteArray bytes;
        for (int i = 0; i < size; ++i)
            bytes += static_cast<char>('!' + i % 90);
        return bytes;
    }

private slots:
    void init() {
        // A read on a closed socket or a misused socket only warns: make that a failure.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        m_server = new QTcpServer;
        QVERIFY2(m_server->listen(QHostAddress::LocalHost, 0), qPrintable(m_server->errorString()));
        m_recorder = new CRecorder;
        m_client = m_recorder->Watch(new CTcpClient(m_recorder));
        m_peer = nullptr;
    }
    void cleanup() {
        delete m_client;
        delete m_recorder;
        delete m_server;
    }

    void burstArrivesInChunksInOrder() {
        ConnectClient();
        const QByteArray burst = Burst(600);
        m_peer->write(burst);
        QTRY_COMPARE(m_recorder->Joined().size(), burst.size());
        QCOMPARE(m_recorder->Joined(), burst);
        QVERIFY(m_recorder->chunks.size() >= 3);
        for (const QByteArray& chunk : std::as_const(m_recorder->chunks))
            QVERIFY(chunk.size() <= CTcpClient::kChunkSize);
    }

    void chunksReachHandlerAsRead_data() {
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<QList<QByteArray>>("chunks");
        const QList<QByteArray> twoLines{"A: \"x\" \"\"\xB0"
                                         "B: \"y\" \"\"\xB3"};
        QTest::newRow("two lines in one read") << twoLines << twoLines;
        const QList<QByteArray> split{"HELLO: \"K1", "ABC\" \"\"\xC1"};
        QTest::newRow("one line over two reads") << split << split;
        QTest::newRow("chunk with a NUL")
            << QList<QByteArray>{QByteArray("ab\0cd", 5)} << QList<QByteArray>{"ab"};
    }
    void chunksReachHandlerAsRead() {
        QFETCH(QList<QByteArray>, writes);
        QFETCH(QList<QByteArray>, chunks);
        ConnectClient();
        for (qsizetype i = 0; i < writes.size(); ++i) {
            m_peer->write(writes[i]);
            QTRY_COMPARE(m_recorder->chunks.size(), i + 1);
        }
        QCOMPARE(m_recorder->chunks, chunks);
    }

    void closedPortGivesOneClosedOnly() {
        const quint16 port = m_server->serverPort();
        m_server->close();
        m_client->Connect("127.0.0.1", port);
        QTRY_COMPARE(m_recorder->closed, 1);
        Settle(*m_recorder);
        QCOMPARE(m_recorder->order, QStringList{"closed"});
        QCOMPARE(m_client->Cause(), DisconnectCause::Refused);
    }

    void unusableAddressGivesOneClosed_data() {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<DisconnectCause>("cause");
        QTest::newRow("unresolvable host")
            << QByteArray("nonexistent.invalid") << 10368 << DisconnectCause::HostNotFound;
        QTest::newRow("empty host") << QByteArray() << 10368 << DisconnectCause::NoServer;
        QTest::newRow("port 0") << QByteArray("127.0.0.1") << 0 << DisconnectCause::NoServer;
        QTest::newRow("port above 65535")
            << QByteArray("127.0.0.1") << 70000 << DisconnectCause::NoServer;
    }
    void unusableAddressGivesOneClosed() {
        QFETCH(QByteArray, host);
        QFETCH(int, port);
        QFETCH(DisconnectCause, cause);
        m_client->Connect(host.toStdString(), port);
        QCOMPARE(m_recorder->closed, 0); // posted, never sent from within Connect
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->closed, 1, 30000);
        Settle(*m_recorder);
        QCOMPARE(m_recorder->order, QStringList{"closed"});
        QCOMPARE(m_client->Cause(), cause);
    }

    void localCloseGivesNoNotification() {
        ConnectClient();
        m_client->Close();
        m_peer->write("late");
        // The server sees the end of the stream without closing its own end first.
        QTRY_COMPARE(m_peer->state(), QAbstractSocket::UnconnectedState);
        Settle(*m_recorder);
        QCOMPARE(m_recorder->order, QStringList{"connected"});
    }

    void remoteCloseHandsOnDataThenOneClosed() {
        ConnectClient();
        m_peer->write("bye\xA0");
        m_peer->disconnectFromHost();
        QTRY_COMPARE(m_recorder->closed, 1);
        Settle(*m_recorder);
        QCOMPARE(m_recorder->order, (QStringList{"connected", "data", "closed"}));
        QCOMPARE(m_recorder->chunks, QList<QByteArray>{"bye\xA0"});
        QCOMPARE(m_client->Cause(), DisconnectCause::ClosedByServer);
    }

#ifdef Q_OS_LINUX
    void keepAliveValuesAreSet() {
        ConnectClient();
        const int fd = static_cast<int>(m_client->Socket().socketDescriptor());
        const auto option = [fd](int level, int name) {
            int value = -1;
            socklen_t size = sizeof value;
            return getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
        };
        QVERIFY(option(SOL_SOCKET, SO_KEEPALIVE) != 0);
        QCOMPARE(option(IPPROTO_TCP, TCP_KEEPIDLE), kKeepAliveIdleSeconds);
        QCOMPARE(option(IPPROTO_TCP, TCP_KEEPINTVL), kKeepAliveIntervalSeconds);
        QCOMPARE(kKeepAliveIdleSeconds, 20);
        QCOMPARE(kKeepAliveIntervalSeconds, 3);
        // Unacknowledged data ends the connection after the WAN time-out, heartbeats or not.
        QCOMPARE(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 60000);
    }
#endif

    // Each attempt asks the resolver again (the hub makes a new client per attempt), so a
    // server whose name moved is found at the next attempt; a name's addresses are tried in
    // order, and a name without any is "host not found".
    void eachConnectResolvesAfresh() {
        const QHostAddress old("127.0.0.2"); // the server listens on 127.0.0.1 only: refused
        QList<QList<QHostAddress>> answers{{old}, {old, QHostAddress::LocalHost}, {}};
        QStringList asked;
        const HostResolver resolver = [&](const std::string& host) {
            QMetaObject::invokeMethod(
                m_recorder, [&, host] { asked << QString::fromStdString(host); },
                Qt::BlockingQueuedConnection);
            return answers.takeFirst();
        };
        m_client->SetResolver(resolver);
        m_client->Connect("tunnel.test", m_server->serverPort());
        QTRY_COMPARE(m_recorder->closed, 1);
        QCOMPARE(m_client->Cause(), DisconnectCause::Refused);
        delete m_client;

        m_client = m_recorder->Watch(new CTcpClient(m_recorder));
        m_client->SetResolver(resolver);
        m_client->Connect("[tunnel.test]", m_server->serverPort());
        QTRY_COMPARE(m_recorder->connected, 1);
        QTRY_VERIFY(m_server->hasPendingConnections());
        QCOMPARE(m_server->nextPendingConnection()->peerAddress(), QHostAddress::LocalHost);
        delete m_client;

        m_client = m_recorder->Watch(new CTcpClient(m_recorder));
        m_client->SetResolver(resolver);
        m_client->Connect("tunnel.test", m_server->serverPort());
        QTRY_COMPARE(m_recorder->closed, 2);
        QCOMPARE(m_client->Cause(), DisconnectCause::HostNotFound);
        QCOMPARE(asked, QStringList(3, "tunnel.test"));
        QCOMPARE(m_recorder->order, (QStringList{"closed", "connected", "closed"}));
    }

    // An address written as people write it beside a port is taken, never looked up.
    void addressLiteralsConnect_data() {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QHostAddress>("listen");
        QTest::newRow("IPv4") << QByteArray("127.0.0.1") << QHostAddress(QHostAddress::LocalHost);
        QTest::newRow("IPv6") << QByteArray("::1") << QHostAddress(QHostAddress::LocalHostIPv6);
        QTest::newRow("IPv6 in brackets")
            << QByteArray("[::1]") << QHostAddress(QHostAddress::LocalHostIPv6);
    }
    void addressLiteralsConnect() {
        QFETCH(QByteArray, host);
        QFETCH(QHostAddress, listen);
        QTcpServer server;
        if (!server.listen(listen))
            QSKIP(qPrintable("no " + listen.toString() + " here: " + server.errorString()));
        m_client->SetResolver(
            [](const std::string&) -> QList<QHostAddress> { qFatal("an address was looked up"); });
        m_client->Connect(host.toStdString(), server.serverPort());
        QTRY_COMPARE(m_recorder->connected, 1);
        QTRY_VERIFY(server.hasPendingConnections());
    }

    void sendTextDropsWholeLinesPastBound() {
        QVERIFY(!m_client->SendText("HELLO:")); // not connected yet
        ConnectClient();
        QByteArray received;
        connect(m_peer, &QTcpSocket::readyRead, m_peer, [&] { received += m_peer->readAll(); });
        // Without the event loop the peer reads nothing: the kernel's buffers fill, then ours.
        QVERIFY(m_client->SendText("abc\0def"));
        const QByteArray line(qsizetype{100} * 1024, 'L');
        int accepted = 0;
        while (accepted < 2000 && m_client->SendText(line.constData())) {
            ++accepted;
            QCOMPARE(m_client->PendingBytes(), m_client->Socket().bytesToWrite());
        }
        QVERIFY(accepted < 2000);
        // The last line was taken while the bound still held: nothing beyond one line past it.
        QVERIFY(m_client->Socket().bytesToWrite() > CTcpClient::kMaxPendingWrite);
        QVERIFY(m_client->Socket().bytesToWrite() <= CTcpClient::kMaxPendingWrite + line.size());
        QVERIFY(!m_client->IsDrained());
        // Every accepted line arrives whole, nothing else does.
        const QByteArray expected = "abc" + line.repeated(accepted);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), expected.size(), 20000);
        QVERIFY(received == expected);
        // With the queue drained, lines are taken again.
        QTRY_COMPARE(m_client->Socket().bytesToWrite(), 0);
        QVERIFY(m_client->IsDrained());
        QVERIFY(m_client->SendText("x"));
        QTRY_COMPARE(received.size(), expected.size() + 1);
    }

    void exchangeWithTunnelServer() {
        CScriptedTunnelServer server;
        QVERIFY(server.Listen());
        server.SetCredentials("user", "secret");
        m_recorder->onNotification = [this](int type) {
            if (type != Data)
                return;
            if (m_recorder->chunks.last() == "login:")
                m_client->SendText("user\n");
            else if (m_recorder->chunks.last() == "password:")
                m_client->SendText("secret\n");
        };
        m_client->Connect("127.0.0.1", server.Port());
        QTRY_VERIFY(server.LoggedIn());
        QCOMPARE(server.Login(), QByteArray("user"));
        QCOMPARE(server.Password(), QByteArray("secret"));
        const QByteArray fromServer = Line("HELLO: \"W1\" \"\"");
        server.SendLine("HELLO: \"W1\" \"\"");
        QTRY_COMPARE(m_recorder->chunks.size(), 3);
        QCOMPARE(m_recorder->chunks, (QList<QByteArray>{"login:", "password:", fromServer}));
        const QByteArray toServer = Line("TIME: \"K1\" \"\" \xE9");
        QVERIFY(m_client->SendText(toServer.constData()));
        QTRY_COMPARE(server.Lines(), QList<QByteArray>{toServer});
        QCOMPARE(server.ReceivedBytes(), "user\nsecret\n" + toServer);
        server.CloseClient();
        QTRY_COMPARE(m_recorder->closed, 1);
    }

    void closeAndDeleteFromWithinNotification_data() {
        QTest::addColumn<int>("notification");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("on connected") << int(Connected) << QStringList{"connected"};
        QTest::newRow("on first chunk of a burst") << int(Data) << QStringList{"connected", "data"};
    }
    void closeAndDeleteFromWithinNotification() {
        QFETCH(int, notification);
        QFETCH(QStringList, order);
        m_recorder->onNotification = [this, notification](int type) {
            if (type == notification && m_client) {
                m_client->Close();
                m_client->deleteLater();
            }
        };
        m_client->Connect("127.0.0.1", m_server->serverPort());
        QTRY_VERIFY(m_server->hasPendingConnections());
        m_peer = m_server->nextPendingConnection();
        m_peer->write(Burst(600));
        QTRY_VERIFY(m_client.isNull());
        Settle(*m_recorder);
        QCOMPARE(m_recorder->order, order);
    }
};

QTEST_GUILESS_MAIN(TestTcpClient)
#include "TestTcpClient.moc"
