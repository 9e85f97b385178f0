#include "CLanStation.h"
#include "Orvane.h"
#include "TestKit.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <vector>

namespace {
const char* const kBroadcast = kDefaultBroadcastAddress;

char Checksum(const QByteArray& bytes) {
    unsigned char sum = 0;
    for (const char c : bytes)
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    return static_cast<char>(sum | 0x80);
}

QByteArray Datagram(const QByteArray& text) {
    return OrvaneBuildDatagram(text.constData());
}
} // namespace

class TestOrvane : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CUdpPortLease> m_lease;
    int m_port = 0;

    // Broadcasts raw bytes on the test port, as another program on the LAN would.
    void SendRaw(const QByteArray& datagram) {
        QUdpSocket raw;
        QVERIFY2(raw.bind(QHostAddress::AnyIPv4, 0), qPrintable(raw.errorString()));
        QCOMPARE(raw.writeDatagram(datagram, QHostAddress(QString::fromLatin1(kBroadcast)),
                                   static_cast<quint16>(m_port)),
                 datagram.size());
    }

private slots:
    void init() {
        // Thread and socket misuse only warns: make that a failure.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        m_lease = std::make_unique<CUdpPortLease>();
        m_port = m_lease->Port();
        QVERIFY(m_port > 0);
    }

    void reachesOtherInstanceAndItself() {
        CLanStation a;
        CLanStation b;
        QVERIFY(a.Open(m_port));
        QVERIFY(b.Open(m_port));
        const QByteArray text = "HELLO: \"K1\xE9\" \"\" 1 2";
        a.Send(text);
        QTRY_COMPARE(a.Received(), QList<QByteArray>{text});
        QTRY_COMPARE(b.Received(), QList<QByteArray>{text});
    }

    // Like every other station's, our broadcasts leave from the LAN port itself.
    void sendsFromTheLanPort() {
        QUdpSocket peer;
        QVERIFY2(peer.bind(QHostAddress::AnyIPv4, static_cast<quint16>(m_port),
                           QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint),
                 qPrintable(peer.errorString()));
        CLanStation station;
        QVERIFY(station.Open(m_port));
        station.Send("ADDQSO: \"A\" \"\" 1");
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QHostAddress from;
        quint16 fromPort = 0;
        QByteArray datagram(256, 0);
        datagram.resize(peer.readDatagram(datagram.data(), datagram.size(), &from, &fromPort));
        QCOMPARE(datagram, Datagram("ADDQSO: \"A\" \"\" 1"));
        QCOMPARE(int(fromPort), m_port);
    }

    void processWideOperations() {
        QList<QByteArray> received;
        const QMetaObject::Connection delivery =
            connect(&ORVANE_init(kBroadcast, m_port), &COrvaneLan::messageReceived,
                    [&received](const QByteArray& text) { received.append(text); });
        ORVANE_send("TIME: \"A\" \"\"");
        QTRY_COMPARE(received, QList<QByteArray>{"TIME: \"A\" \"\""});
        ORVANE_close();
        disconnect(delivery);
    }

    void receivedDatagram_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QList<QByteArray>>("delivered");
        QTest::addColumn<int>("bad");
        QTest::addColumn<int>("tooLong");
        const QByteArray text = "ADDQSO: \"A\" \"B\"";
        const QByteArray good = Datagram(text);
        QTest::newRow("valid") << good << QList<QByteArray>{text} << 0 << 0;
        QTest::newRow("final NUL omitted") << good.chopped(1) << QList<QByteArray>{text} << 0 << 0;
        QByteArray wrong = good;
        wrong[text.size()] = static_cast<char>(wrong[text.size()] ^ 1);
        QTest::newRow("wrong checksum") << wrong << QList<QByteArray>{} << 1 << 0;
        // Bytes from 0x80 up, summed past 0xFF: plain char is signed on some processors and
        // unsigned on others, and the checksum must not depend on it.
        const QByteArray latin1 = QByteArray::fromHex("4e414d453a20224afc7267656e222022e974e922");
        QTest::newRow("Latin-1 text, sum past 0xFF")
            << latin1 + QByteArray::fromHex("db00") << QList<QByteArray>{latin1} << 0 << 0;
        const QByteArray withNul("AB\0C", 4);
        QTest::newRow("NUL inside")
            << withNul + Checksum(withNul) + '\0' << QList<QByteArray>{} << 1 << 0;
        QTest::newRow("two final NULs") << good + '\0' << QList<QByteArray>{} << 1 << 0;
        QTest::newRow("byte after checksum")
            << text + Checksum(text) + 'x' + '\0' << QList<QByteArray>{} << 1 << 0;
        QTest::newRow("no checksum byte") << text + '\0' << QList<QByteArray>{} << 1 << 0;
        QTest::newRow("empty") << QByteArray() << QList<QByteArray>{} << 1 << 0;
        QTest::newRow("NUL only") << QByteArray(1, '\0') << QList<QByteArray>{} << 1 << 0;
        QTest::newRow("largest datagram, invalid")
            << QByteArray(65507, 'x') << QList<QByteArray>{} << 1 << 0;
        // Longer texts can never be relayed: they are dropped on arrival, counted.
        const QByteArray longest(255, 'y');
        QTest::newRow("255-byte text") << Datagram(longest) << QList<QByteArray>{longest} << 0 << 0;
        QTest::newRow("256-byte text") << Datagram(longest + 'y') << QList<QByteArray>{} << 0 << 1;
        QTest::newRow("largest datagram, valid")
            << Datagram(QByteArray(65505, 'y')) << QList<QByteArray>{} << 0 << 1;
    }
    void receivedDatagram() {
        QFETCH(QByteArray, datagram);
        QFETCH(QList<QByteArray>, delivered);
        QFETCH(int, bad);
        QFETCH(int, tooLong);
        CLanStation station;
        QVERIFY(station.Open(m_port));
        SendRaw(datagram);
        // A datagram from the same sender after it shows the first was handled.
        const QByteArray marker = "MARK: \"x\"";
        SendRaw(Datagram(marker));
        QTRY_VERIFY(station.Received().contains(marker));
        QCOMPARE(station.Received(), delivered + QList<QByteArray>{marker});
        QCOMPARE(station.Lan().BadDatagramCount(), std::uint64_t(bad));
        QCOMPARE(station.Lan().TooLongCount(), std::uint64_t(tooLong));
    }

    void unbindablePort_data() {
        QTest::addColumn<int>("port"); // -1: the test port, held by an exclusive socket
        QTest::newRow("port in use") << -1;
        QTest::newRow("port 0") << 0;
        QTest::newRow("port above 65535") << 70000;
        QTest::newRow("negative port") << -5;
    }
    void unbindablePort() {
        QFETCH(int, port);
        m_lease->Release(); // the blocker needs the port to itself
        auto blocker = std::make_unique<QUdpSocket>();
        QVERIFY(blocker->bind(QHostAddress::AnyIPv4, static_cast<quint16>(m_port),
                              QAbstractSocket::DontShareAddress));
        CLanStation station;
        QVERIFY(!station.Open(port == -1 ? m_port : port));
        QVERIFY(!station.Lan().IsOpen());
        station.Send("HELLO: \"A\"");
        // Once the port is free the same endpoint opens and works.
        blocker.reset();
        QVERIFY(station.Open(m_port));
        station.Send("HELLO: \"A\"");
        QTRY_COMPARE(station.Received(), QList<QByteArray>{"HELLO: \"A\""});
    }

    void invalidBroadcastAddress_data() {
        QTest::addColumn<QByteArray>("address");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("words") << QByteArray("not an address");
        QTest::newRow("octet out of range") << QByteArray("127.255.255.256");
        QTest::newRow("IPv6") << QByteArray("::1");
    }
    void invalidBroadcastAddress() {
        QFETCH(QByteArray, address);
        CLanStation bad;
        CLanStation good;
        QVERIFY(bad.Open(m_port, address.constData()));
        QVERIFY(good.Open(m_port));
        bad.Send("FROM: \"bad\"");
        good.Send("FROM: \"good\"");
        // The endpoint still listens; it only cannot send.
        const QList<QByteArray> expected{"FROM: \"good\""};
        QTRY_COMPARE(bad.Received(), expected);
        QTRY_COMPARE(good.Received(), expected);
    }

    void closeReleasesPortAndReopens() {
        CLanStation station;
        QVERIFY(station.Open(m_port));
        station.Close();
        QVERIFY(!station.Lan().IsOpen());
        m_lease->Release();
        {
            QUdpSocket exclusive;
            QVERIFY2(exclusive.bind(QHostAddress::AnyIPv4, static_cast<quint16>(m_port),
                                    QAbstractSocket::DontShareAddress),
                     qPrintable(exclusive.errorString()));
        }
        QVERIFY(station.Open(m_port));
        QVERIFY(station.Open(m_port)); // opening an open endpoint reopens it
        station.Send("HELLO: \"A\"");
        QTRY_COMPARE(station.Received(), QList<QByteArray>{"HELLO: \"A\""});
    }

    void burstBeyondBoundIsDroppedNotQueued() {
        // The endpoint's thread never runs, so every message stays waiting.
        QThread stalled;
        COrvaneLan lan;
        lan.moveToThread(&stalled);
        QVERIFY(lan.Init(kBroadcast, m_port));
        QUdpSocket raw;
        const QByteArray text(COrvaneLan::kMaxTextBytes, 'x');
        const QByteArray datagram = Datagram(text);
        const QHostAddress loopback(QHostAddress::LocalHost);
        const std::int64_t cost = COrvaneLan::AccountedSize(text.size());
        // Batches small enough for the kernel's buffer, so that none is lost before the reader.
        const int batch = 128;
        for (qint64 sent = 0; lan.DroppedCount() == 0;) {
            QVERIFY(sent * cost <= 2 * COrvaneLan::kMaxPendingBytes);
            // Only what the socket really sent counts; a loaded machine may refuse one.
            for (int i = 0; i < batch; ++i) {
                if (raw.writeDatagram(datagram, loopback, static_cast<quint16>(m_port)) ==
                    datagram.size())
                    ++sent;
            }
            // Short waits: some thousand batches go by.
            QElapsedTimer waited;
            waited.start();
            while (lan.DroppedCount() == 0 && lan.PendingBytes() < sent * cost &&
                   waited.elapsed() < 10000)
                QThread::usleep(100);
            QVERIFY(lan.DroppedCount() > 0 || lan.PendingBytes() >= sent * cost);
        }
        QVERIFY(lan.PendingBytes() <= COrvaneLan::kMaxPendingBytes);
        QVERIFY(lan.PendingBytes() > COrvaneLan::kMaxPendingBytes - cost);
        // Closing takes the waiting messages with it.
        lan.Close();
        QCOMPARE(lan.PendingBytes(), 0);
        QVERIFY(!lan.IsOpen());
    }

    // A burst is announced in order, in batches: between two batches the event loop runs, so
    // the receiver's sockets and timers are served during the burst.
    void burstArrivesInOrderInBatches() {
        CLanStation station;
        QVERIFY(station.Open(m_port));
        constexpr int kCount = 2000;
        int timerTicksDuring = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] {
            if (!station.Received().isEmpty() && station.Received().size() < kCount)
                ++timerTicksDuring;
        });
        ticker.start(0);
        QUdpSocket raw;
        for (int i = 0; i < kCount; ++i) {
            raw.writeDatagram(Datagram("N: \"" + QByteArray::number(i) + "\""),
                              QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(m_port));
            if (i % 200 == 199)
                QThread::msleep(2); // the kernel's buffer, not ours, is the limit here
        }
        QTRY_COMPARE(station.Received().size(), kCount);
        for (int i = 0; i < kCount; ++i)
            QCOMPARE(station.Received().at(i), "N: \"" + QByteArray::number(i) + "\"");
        QVERIFY(timerTicksDuring > 0);
    }

    void parse_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<QByteArray>>("fields");
        QTest::newRow("bare and quoted")
            << QByteArray("HELLO: \"K1ABC\" \"\" 14 \"MASTER\"")
            << QList<QByteArray>{"HELLO:", "K1ABC", "", "14", "MASTER"};
        QTest::newRow("quoted field keeps blanks")
            << QByteArray("A: \"b c\" d") << QList<QByteArray>{"A:", "b c", "d"};
        QTest::newRow("several blanks")
            << QByteArray("A:   b    c") << QList<QByteArray>{"A:", "b", "c"};
        QTest::newRow("tabs, leading and trailing blanks")
            << QByteArray(" \tA:\tb \t c\t ") << QList<QByteArray>{"A:", "b", "c"};
        QTest::newRow("unbalanced quote runs to the end")
            << QByteArray("A: b \"c  d") << QList<QByteArray>{"A:", "b", "c  d"};
        QTest::newRow("empty text") << QByteArray() << QList<QByteArray>{};
        QTest::newRow("blanks only") << QByteArray(" \t ") << QList<QByteArray>{};
        QByteArray many = "K:";
        QList<QByteArray> first34{"K:"};
        for (int i = 1; i < 40; ++i) {
            many += " f" + QByteArray::number(i);
            if (i < ORVANE_MAX_FIELDS)
                first34 << "f" + QByteArray::number(i);
        }
        QTest::newRow("40 fields cut at 34") << many << first34;
        QTest::newRow("tunnel line with checksum byte")
            << QByteArray("HEARTBEAT: \"~\" \"\" \xB0") << QList<QByteArray>{"HEARTBEAT:", "~", ""};
        const QByteArray quotedLast = "A: \"b\"";
        QTest::newRow("checksum byte after closing quote")
            << quotedLast + Checksum(quotedLast) << QList<QByteArray>{"A:", "b"};
        QTest::newRow("high last byte that is not the checksum")
            << QByteArray("A: b\xE9") << QList<QByteArray>{"A:", "b\xE9"};
        QTest::newRow("checksum byte alone") << QByteArray("\x80") << QList<QByteArray>{};
        // The sum of bytes from 0x80 up, as with the received datagrams above.
        QTest::newRow("Latin-1 tunnel line, sum past 0xFF")
            << QByteArray::fromHex("4e414d453a20224afc7267656e222022e974e922db")
            << QList<QByteArray>{"NAME:", QByteArray::fromHex("4afc7267656e"),
                                 QByteArray::fromHex("e974e9")};
    }
    void parse() {
        QFETCH(QByteArray, text);
        QFETCH(QList<QByteArray>, fields);
        // Exactly as long as the text, so that a read past its NUL is caught by the sanitizer.
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        char* fieldSlots[ORVANE_MAX_FIELDS] = {};
        const int count = ORVANE_parse(fieldSlots, buffer.data());
        QList<QByteArray> parsed;
        for (int i = 0; i < count; ++i) {
            QVERIFY(fieldSlots[i] >= buffer.data() &&
                    fieldSlots[i] < buffer.data() + buffer.size());
            parsed << QByteArray(fieldSlots[i]);
        }
        QCOMPARE(parsed, fields);
    }
};

QTEST_GUILESS_MAIN(TestOrvane)
#include "TestOrvane.moc"
