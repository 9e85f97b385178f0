// Qt's own messages in the server's log: from any thread through the log writer, stamped, on
// one bounded line each, summed up when they repeat, and a bound on the kinds told apart.
#include "CLogWriter.h"
#include "LogText.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTest>

#include <memory>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
Q_LOGGING_CATEGORY(lcPort, "kavlink.test.port")

QByteArray Stamped(const QString& text) {
    return LogTimestamp(QDateTime::currentDateTime()).toUtf8() + ' ' + text.toUtf8() + '\n';
}

// The log's lines as a reader of its pipe gets them.
class CPipeLog {
public:
    CPipeLog() {
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            m_read = fds[0];
            m_writer = std::make_shared<CLogWriter>(fds[1]);
            m_writeFd = fds[1];
        }
    }
    ~CPipeLog() {
        m_writer.reset();
        ::close(m_writeFd);
        ::close(m_read);
    }
    std::shared_ptr<CLogWriter> Writer() const { return m_writer; }

    // Reads until the log has count lines; waits for the writer's thread, not on a clock.
    QList<QByteArray> Lines(qsizetype count) {
        for (int idle = 0; m_text.count('\n') < count && idle < 50;) {
            pollfd p = {m_read, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                ++idle;
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(m_read, buffer, sizeof buffer);
            if (n <= 0)
                break;
            m_text.append(buffer, n);
        }
        QList<QByteArray> lines = m_text.split('\n');
        lines.removeLast(); // after the last newline
        return lines;
    }

private:
    int m_read = -1;
    int m_writeFd = -1;
    std::shared_ptr<CLogWriter> m_writer;
    QByteArray m_text;
};

const QRegularExpression kStamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d ");
} // namespace

class TestQtMessages : public QObject {
    Q_OBJECT

private slots:
    void messageBecomesALogLine_data() {
        QTest::addColumn<bool>("otherThread");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("expected"); // after the stamp
        QTest::newRow("warning here") << false << "Upgrade to websocket not supported"
                                      << QByteArray("Qt warning (default): \"Upgrade to "
                                                    "websocket not supported\"");
        QTest::newRow("warning from another thread")
            << true << "QSocketNotifier: Invalid socket"
            << QByteArray("Qt warning (default): \"QSocketNotifier: Invalid socket\"");
        QTest::newRow("line breaks and control bytes")
            << true << "two\nlines\x01 \"quoted\""
            << QByteArray("Qt warning (default): \"two\\x0Alines\\x01 \\x22quoted\\x22\"");
    }
    void messageBecomesALogLine() {
        QFETCH(bool, otherThread);
        QFETCH(QString, text);
        QFETCH(QByteArray, expected);
        CPipeLog log;
        {
            CQtMessageLog messages(log.Writer(), Stamped);
            if (otherThread)
                std::thread([&] { qWarning("%s", qPrintable(text)); }).join();
            else
                qWarning("%s", qPrintable(text));
        }
        const QList<QByteArray> lines = log.Lines(1);
        QCOMPARE(lines.size(), 1);
        const QRegularExpressionMatch stamp = kStamp.match(QString::fromUtf8(lines[0]));
        QVERIFY2(stamp.hasMatch(), lines[0].constData());
        QCOMPARE(lines[0].mid(stamp.capturedLength()), expected);
    }

    // The same message from several threads at once: the first few one by one, then one line
    // that sums them up with its category; a long one cut to its bound.
    void repeatsAreSummedUp() {
        CPipeLog log;
        {
            CQtMessageLog messages(log.Writer(), Stamped);
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t)
                threads.emplace_back([] {
                    for (int i = 0; i < 25; ++i)
                        qCWarning(lcPort, "peer closed early");
                });
            for (std::thread& thread : threads)
                thread.join();
            qCritical("%s", QByteArray(100 * 1024, 'x').constData());
        }
        const QList<QByteArray> lines = log.Lines(CQtMessageLog::kShown + 2);
        QCOMPARE(lines.size(), CQtMessageLog::kShown + 2);
        for (int i = 0; i < CQtMessageLog::kShown; ++i)
            QVERIFY(lines[i].endsWith("Qt warning (kavlink.test.port): \"peer closed early\""));
        const QByteArray last = lines[CQtMessageLog::kShown];
        QVERIFY2(last.contains("Qt critical (default): \"xxx"), last.constData());
        QVERIFY(last.size() < CQtMessageLog::kMaxText + 100);
        // Summed up as the log ends.
        const QByteArray summary = lines.last();
        QVERIFY(summary.contains(" 100 Qt warnings "));
        QVERIFY2(summary.contains("\"peer closed early\" from kavlink.test.port in the last"),
                 lines.join('\n').constData());
    }

    // Messages that all differ: only so many kinds are told apart, the rest summed together.
    void kindsAreBounded() {
        CPipeLog log;
        constexpr int kMessages = 200;
        {
            CQtMessageLog messages(log.Writer(), Stamped);
            for (int i = 0; i < kMessages; ++i)
                qWarning("Upgrade to w%d not supported", i);
        }
        const qsizetype expected = CQtMessageLog::kMaxKinds + CQtMessageLog::kShown + 1;
        const QList<QByteArray> lines = log.Lines(expected);
        QCOMPARE(lines.size(), expected);
        QVERIFY(lines.last().contains(QByteArray::number(kMessages - CQtMessageLog::kMaxKinds) +
                                      " Qt messages of other kinds from default in the last"));
    }

    // Ended, it gives the handler back.
    void handlerBeforeIsBack() {
        CPipeLog log;
        const QtMessageHandler before = qInstallMessageHandler(nullptr);
        qInstallMessageHandler(before);
        { CQtMessageLog messages(log.Writer(), Stamped); }
        QVERIFY(qInstallMessageHandler(before) == before);
    }
};

QTEST_GUILESS_MAIN(TestQtMessages)
#include "TestQtMessages.moc"
