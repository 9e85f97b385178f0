#include "CDebugLog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>

namespace {
// 2024-03-09 14:05:07 in local time, whatever the time zone of the machine.
std::time_t FixedTime() {
    std::tm local{};
    local.tm_year = 2024 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 9;
    local.tm_hour = 14;
    local.tm_min = 5;
    local.tm_sec = 7;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

constexpr const char* kStamp = "2024-03-09 14:05:07 ";
} // namespace

class TestDebugLog : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::string m_ini;
    std::string m_config;

    QString LogName() const { return m_dir->filePath("Kavlink.log"); }

    QByteArrayList LogLines() const {
        QFile file(LogName());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QByteArrayList lines = file.readAll().split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        for (QByteArray& line : lines) {
            if (!line.startsWith(kStamp))
                qFatal("line without the time stamp: %s", line.constData());
            line.remove(0, qsizetype(std::strlen(kStamp)));
        }
        return lines;
    }

    void Start(CDebugLog& log, int level) const {
        log.SetClock([] { return static_cast<std::int64_t>(FixedTime()); });
        log.StartDebugLog(level, m_ini, m_config);
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_ini = m_dir->filePath("Kavlink.ini").toStdString();
        m_config = m_dir->path().toStdString() + "/";
    }

    void line_format() {
        CDebugLog log;
        Start(log, 1);
        log.LogLine(1, "Connecting tunnel...");
        QFile file(LogName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("2024-03-09 14:05:07 -- Debug Start --\n"
                                            "2024-03-09 14:05:07 Connecting tunnel...\n"));
    }

    void levels_data() {
        QTest::addColumn<int>("debug");
        QTest::addColumn<QByteArrayList>("lines");
        const QByteArrayList none;
        QTest::newRow("0: no file") << 0 << none;
        QTest::newRow("negative: no file") << -1 << none;
        QTest::newRow("1") << 1 << QByteArrayList{"-- Debug Start --", "status", "-- Debug End --"};
        QTest::newRow("2") << 2
                           << QByteArrayList{"-- Debug Start --", "status", "station",
                                             "-- Debug End --"};
        QTest::newRow("3") << 3
                           << QByteArrayList{"-- Debug Start --", "status", "station", "traffic",
                                             "-- Debug End --"};
        QTest::newRow("above 3") << 9
                                 << QByteArrayList{"-- Debug Start --", "status", "station",
                                                   "traffic", "-- Debug End --"};
    }
    void levels() {
        QFETCH(int, debug);
        QFETCH(QByteArrayList, lines);
        {
            CDebugLog log;
            Start(log, debug);
            log.LogLine(1, "status");
            log.LogLine(2, "%s", "station");
            log.LogLine(3, "%s", "traffic");
            log.EndDebugLog();
            QVERIFY(!log.IsOpen());
        }
        QCOMPARE(QFile::exists(LogName()), !lines.isEmpty());
        QCOMPARE(LogLines(), lines);
    }

    void append_across_runs() {
        for (const char* run : {"first", "second"}) {
            CDebugLog log;
            Start(log, 1);
            log.LogLine(1, "%s", run);
            log.EndDebugLog();
        }
        QCOMPARE(LogLines(), (QByteArrayList{"-- Debug Start --", "first", "-- Debug End --",
                                             "-- Debug Start --", "second", "-- Debug End --"}));
    }

    void file_name_data() {
        QTest::addColumn<QString>("iniPath");
        QTest::addColumn<QString>("logPath");
        QTest::newRow("beside the ini") << "/d/cfg/Kavlink.ini"
                                        << "/d/cfg/Kavlink.log";
        QTest::newRow("last dot counts") << "/d/cfg/my.site.ini"
                                         << "/d/cfg/my.site.log";
        QTest::newRow("no dot: config directory") << "/d/cfg/Kavlink"
                                                  << "/config/Kavlink.log";
        QTest::newRow("dot only in a directory") << "/home/u/.config/Zentrik/cfg/settings"
                                                 << "/config/Kavlink.log";
        QTest::newRow("dot at the end") << "/d/cfg/k."
                                        << "/d/cfg/k.log";
        QTest::newRow("ini named .log is not the log") << "/d/cfg/Kavlink.log"
                                                       << "/d/cfg/Kavlink.log.log";
    }
    void file_name() {
        QFETCH(QString, iniPath);
        QFETCH(QString, logPath);
        QCOMPARE(QString::fromStdString(CDebugLog::LogFilePath(iniPath.toStdString(), "/config/")),
                 logPath);
    }

    // Text from the network cannot start a log line of its own.
    void control_bytes_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("CR LF") << QByteArray("A\r\n2024-01-01 00:00:00 forged")
                               << QByteArray("A\\x0D\\x0A2024-01-01 00:00:00 forged");
        QTest::newRow("tab kept") << QByteArray("a\tb") << QByteArray("a\tb");
        QTest::newRow("low bytes") << QByteArray("\x01\x1F\x1B") << QByteArray("\\x01\\x1F\\x1B");
        QTest::newRow("7F and high bytes kept")
            << QByteArray("\x7F\x69\xE9\xFF") << QByteArray("\x7F\x69\xE9\xFF");
    }
    void control_bytes() {
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, written);
        CDebugLog log;
        Start(log, 3);
        log.LogLine(3, "%s", message.constData());
        QCOMPARE(LogLines().value(1), written);
        QCOMPARE(LogLines().size(), 2);
    }

    void long_message_cut() {
        CDebugLog log;
        Start(log, 3);
        const QByteArray text(1030, 'm');
        log.LogLine(3, "From LAN (TO WAN) : %s", text.constData());
        const QByteArray expected = QByteArray("From LAN (TO WAN) : " + text).left(1023);
        QCOMPARE(LogLines().value(1), expected);
    }

    // A full disk stops logging for good; nothing crashes and nothing is retried.
    void write_error_stops_logging() {
        if (!QFile::exists("/dev/full"))
            QSKIP("needs /dev/full");
        QVERIFY(QFile::link("/dev/full", LogName()));
        CDebugLog log;
        Start(log, 3);
        QVERIFY(!log.IsOpen());
        QVERIFY(!log.Wants(1));
        log.LogLine(1, "after the error");
        log.EndDebugLog();
    }

    void unopenable_file() {
        QVERIFY(m_dir->path().size() > 0);
        QVERIFY(QDir(m_dir->path()).mkdir("Kavlink.log"));
        CDebugLog log;
        Start(log, 1);
        QVERIFY(!log.IsOpen());
        log.LogLine(1, "nowhere");
        log.EndDebugLog();
    }
};

QTEST_GUILESS_MAIN(TestDebugLog)
#include "TestDebugLog.moc"
