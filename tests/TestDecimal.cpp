#include "Decimal.h"

#include <QTest>

#include <cstdint>

// Numbers from the network and the ini file, at the edges of their types. Nothing here may
// depend on the width of long, which is 32 bits on some targets.
class TestDecimal : public QObject {
    Q_OBJECT

private slots:
    void toInt64_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("value");
        QTest::newRow("largest") << QByteArray("9223372036854775807") << qint64(INT64_MAX);
        QTest::newRow("one past the largest")
            << QByteArray("9223372036854775808") << qint64(INT64_MAX);
        QTest::newRow("twenty digits") << QByteArray("99999999999999999999") << qint64(INT64_MAX);
        QTest::newRow("smallest") << QByteArray("-9223372036854775808") << qint64(INT64_MIN);
        QTest::newRow("one past the smallest")
            << QByteArray("-9223372036854775809") << qint64(INT64_MIN);
        QTest::newRow("past 32 bits") << QByteArray("4294967296") << qint64(4294967296);
        QTest::newRow("leading zeros past 19 digits")
            << QByteArray("0000000000000000000000042") << qint64(42);
        QTest::newRow("blanks, sign, trailing text") << QByteArray(" \t+17x9") << qint64(17);
        QTest::newRow("sign alone") << QByteArray("-") << qint64(0);
    }
    void toInt64() {
        QFETCH(QByteArray, text);
        QFETCH(qint64, value);
        QCOMPARE(DecimalToInt64(text.constData()), std::int64_t(value));
    }

    void toInt32_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("largest") << QByteArray("2147483647") << INT32_MAX;
        QTest::newRow("one past the largest") << QByteArray("2147483648") << INT32_MAX;
        QTest::newRow("smallest") << QByteArray("-2147483648") << INT32_MIN;
        QTest::newRow("one past the smallest") << QByteArray("-2147483649") << INT32_MIN;
        // Would wrap to 1 if cut to 32 bits rather than saturated.
        QTest::newRow("2^32 + 1") << QByteArray("4294967297") << INT32_MAX;
        QTest::newRow("past 64 bits, negative") << QByteArray("-99999999999999999999") << INT32_MIN;
    }
    void toInt32() {
        QFETCH(QByteArray, text);
        QFETCH(int, value);
        QCOMPARE(DecimalToInt32(text.constData()), std::int32_t(value));
    }
};

QTEST_GUILESS_MAIN(TestDecimal)
#include "TestDecimal.moc"
