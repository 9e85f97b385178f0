#include "TunnelLine.h"

#include <QTest>

namespace {
QByteArray Bytes(const std::string& s) {
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}
} // namespace

class TestTunnelLine : public QObject {
    Q_OBJECT

private slots:
    void encode_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("abc") << QByteArray("abc") << QByteArray::fromHex("616263a6");
        QTest::newRow("empty text") << QByteArray() << QByteArray::fromHex("80");
        QTest::newRow("E9 escaped") << QByteArray::fromHex("e9") << QByteArray::fromHex("7f69e8");
        QTest::newRow("7F escaped") << QByteArray::fromHex("7f") << QByteArray::fromHex("7f7ffe");
        QTest::newRow("FF left out")
            << QByteArray::fromHex("61ff62") << QByteArray::fromHex("6162c3");
        QTest::newRow("80 left out like FF")
            << QByteArray::fromHex("618062") << QByteArray::fromHex("6162c3");
        QTest::newRow("heartbeat") << QByteArray("HEARTBEAT: \"~\" \"\" ")
                                   << QByteArray("HEARTBEAT: \"~\" \"\" ") + '\xB0';
        QTest::newRow("stops at NUL") << QByteArray("ab\0cd", 5) << QByteArray::fromHex("6162c3");
    }
    void encode() {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, line);
        std::string s(text.constData(), static_cast<std::size_t>(text.size()));
        EncodeTunnelLine(s);
        QCOMPARE(Bytes(s), line);
        QVERIFY(CheckTunnelLine(s.c_str()));
    }

    void check_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("good") << QByteArray::fromHex("616263a6") << true;
        QTest::newRow("checksum only") << QByteArray::fromHex("80") << true;
        QTest::newRow("wrong checksum") << QByteArray::fromHex("616263a7") << false;
        QTest::newRow("no high byte") << QByteArray("abc") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("bytes after checksum") << QByteArray::fromHex("616263a661") << false;
        QTest::newRow("two checksums") << QByteArray::fromHex("616263a6a6") << false;
    }
    void check() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(CheckTunnelLine(bytes.constData()), valid);
    }

    void keyword_data() {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<bool>("matches");
        QTest::newRow("exact") << QByteArray("TIME:") << true;
        QTest::newRow("lower case") << QByteArray("time:") << false;
        QTest::newRow("extra letter") << QByteArray("TIMEX:") << false;
        QTest::newRow("no colon") << QByteArray("TIME") << false;
        QTest::newRow("prefix of longer") << QByteArray("TIME:X") << false;
    }
    void keyword() {
        QFETCH(QByteArray, field);
        QFETCH(bool, matches);
        QCOMPARE(HasKeyword(field.constData(), "TIME:"), matches);
    }
};

QTEST_GUILESS_MAIN(TestTunnelLine)
#include "TestTunnelLine.moc"
