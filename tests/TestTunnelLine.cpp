#include "CTunnelFramer.h"
#include "TunnelLine.h"

#include <QTest>

#include <algorithm>
#include <cstdint>

namespace {
QByteArray Bytes(const std::string& s) {
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

struct Framed {
    QList<QByteArray> lines;
    std::uint64_t discarded = 0;
    std::size_t mostBuffered = 0;
};

// The stream fed in the given pieces: the lines that came out and what stayed buffered.
Framed Frame(const QList<QByteArray>& pieces) {
    CTunnelFramer framer;
    Framed out;
    for (const QByteArray& piece : pieces) {
        framer.Append(std::string_view(piece.constData(), static_cast<std::size_t>(piece.size())),
                      [&out](std::string_view line) {
                          out.lines << QByteArray(line.data(), static_cast<qsizetype>(line.size()));
                      });
        out.mostBuffered = std::max(out.mostBuffered, framer.Buffered());
    }
    out.discarded = framer.Discarded();
    return out;
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

    // Plain char is signed on amd64 and unsigned on arm64: a line end is any byte from 0x80 up
    // on both. Whatever the chunking, the same lines come out and the buffer stays bounded.
    void framer_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<int>("discarded");
        QTest::newRow("two lines") << QByteArray("ab\xC3"
                                                 "cd\xC7")
                                   << QList<QByteArray>{"ab\xC3", "cd\xC7"} << 0;
        QByteArray everyEnd;
        QList<QByteArray> everyLine;
        for (int end = 0x80; end <= 0xFF; ++end) {
            everyLine << QByteArray("x") + static_cast<char>(end);
            everyEnd += everyLine.back();
        }
        QTest::newRow("every byte from 0x80 up ends a line") << everyEnd << everyLine << 0;
        QTest::newRow("0x7F ends no line") << QByteArray("a\x7F"
                                                         "b\x80")
                                           << QList<QByteArray>{"a\x7F"
                                                                "b\x80"}
                                           << 0;
        const QByteArray longest = QByteArray(kMaxTunnelMessage - 2, 'x') + '\xF0';
        QTest::newRow("longest line kept, one byte more dropped")
            << longest + 'y' + longest + QByteArray("z\xFA") << QList<QByteArray>{longest, "z\xFA"}
            << 1;
        QTest::newRow("a run with no end, then a line")
            << QByteArray(2 * kMaxTunnelMessage + 7, 'x') + "\x80"
                                                            "ok\xFF"
            << QList<QByteArray>{"ok\xFF"} << 1;
    }
    void framer() {
        QFETCH(QByteArray, stream);
        QFETCH(QList<QByteArray>, lines);
        QFETCH(int, discarded);
        const Framed whole = Frame({stream});
        QCOMPARE(whole.lines, lines);
        QCOMPARE(whole.discarded, std::uint64_t(discarded));
        QList<QByteArray> bytes;
        for (const char c : stream)
            bytes << QByteArray(1, c);
        const Framed byByte = Frame(bytes);
        QCOMPARE(byByte.lines, lines);
        QCOMPARE(byByte.discarded, std::uint64_t(discarded));
        QVERIFY(byByte.mostBuffered < kMaxTunnelMessage);
        for (qsizetype at = 1; at < stream.size(); ++at) {
            const Framed split = Frame({stream.left(at), stream.mid(at)});
            QVERIFY2(split.lines == lines && split.discarded == std::uint64_t(discarded),
                     qPrintable(QString("split at %1").arg(at)));
        }
    }
};

QTEST_GUILESS_MAIN(TestTunnelLine)
#include "TestTunnelLine.moc"
