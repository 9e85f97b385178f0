// Certificate fingerprints as the server logs them and as a person writes them to pin one.
#include "Fingerprint.h"

#include <QTest>

namespace {
// SHA-256 of "abc", the digest every case below is written for.
const QByteArray kAbc = "abc";
const QString kOpenssl = "BA:78:16:BF:8F:01:CF:EA:41:41:40:DE:5D:AE:22:23:B0:03:61:A3:96:17:"
                         "7A:9C:B4:10:FF:61:F2:00:15:AD";
const QString kLower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
} // namespace

class TestFingerprint : public QObject {
    Q_OBJECT

private slots:
    void formatsAsOpensslPrints() {
        QCOMPARE(CertificateFingerprint(kAbc), kOpenssl);
        QCOMPARE(FormatFingerprint(QByteArray::fromHex(kLower.toLatin1())), kOpenssl);
        QCOMPARE(FormatFingerprint({}), QString());
    }

    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("as openssl prints it") << kOpenssl << true;
        QTest::newRow("plain lower-case hex") << kLower << true;
        QTest::newRow("mixed case, blanks, tab and line end")
            << "BA7816bf 8F01CFEA\t414140de:5dae2223 b00361a396177a9cb410ff61f20015AD\n"
            << true;
        QTest::newRow("colons anywhere")
            << ":" + kLower.left(3) + "::" + kLower.mid(3) + ":" << true;
        QTest::newRow("openssl's whole line") << "sha256 Fingerprint=" + kOpenssl << false;
        QTest::newRow("one digit short") << kLower.chopped(1) << false;
        QTest::newRow("one digit more") << kLower + "0" << false;
        QTest::newRow("one byte more") << kLower + "00" << false;
        QTest::newRow("SHA-1 length") << kLower.left(40) << false;
        QTest::newRow("not hex") << kLower.chopped(1) + "g" << false;
        QTest::newRow("non-ASCII digit") << kLower.chopped(1) + QChar(0x0663) << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("only colons and blanks") << " : : " << false;
    }
    // Colons, blanks and case do not matter; anything else makes the text no fingerprint,
    // which then names no certificate at all.
    void parse() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(ParseFingerprint(text),
                 valid ? QByteArray::fromHex(kLower.toLatin1()) : QByteArray());
        QCOMPARE(FingerprintMatches(text, kAbc), valid);
        QVERIFY(!FingerprintMatches(text, "abd"));
    }
};

QTEST_GUILESS_MAIN(TestFingerprint)
#include "TestFingerprint.moc"
