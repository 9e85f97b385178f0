#include "CIniFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A literal that may hold NUL bytes.
template <std::size_t N> QByteArray Raw(const char (&text)[N]) {
    return QByteArray(text, N - 1);
}

std::string Std(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// A file as a person might leave it: comments, blank lines, blanks around '=', a duplicate
// key, quotes, bytes above 0x7F and no line end after the last line.
QByteArray HandEdited(const QByteArray& eol) {
    QList<QByteArray> lines = {
        "; Kavlink settings, edited by hand",
        "",
        "[Lan]",
        "  BroadcastAddress =  192.168.1.255  ",
        "PortNumber=9871",
        "portnumber=1111",
        "# Comment=not a key",
        "no equals sign here",
        "",
        "[ TunnelSrv ]",
        "Hostname=\"  tunnel.example.org \"",
        "Login=\"\"",
        "Password=p\xE9ss\xFF",
        "HeartBeat=",
        "=orphan",
        "[General]",
        "Debug=2",
    };
    return lines.join(eol);
}
} // namespace

class TestIniFile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    std::string PathOf(const QString& name) const {
        return Std(QFile::encodeName(m_dir.filePath(name)));
    }

    std::string WriteFile(const QString& name, const QByteArray& bytes) const {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write the fixture");
        return PathOf(name);
    }

    static int ModeOf(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    }

    // Names in the form of our temporary copies of Kavlink.ini.
    QStringList Strays() const {
        static const QRegularExpression form("^Kavlink\\.ini\\.[A-Za-z0-9]{6}$");
        return QDir(m_dir.path()).entryList(QDir::Files).filter(form);
    }

    QByteArray ReadFile(const std::string& path) const {
        QFile file(QFile::decodeName(path.c_str()));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void read_data() {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("blanks around = removed")
            << QByteArray("Lan") << QByteArray("BroadcastAddress") << true
            << QByteArray("192.168.1.255");
        QTest::newRow("names ignore case") << QByteArray("LAN") << QByteArray("broadcastaddress")
                                           << true << QByteArray("192.168.1.255");
        QTest::newRow("first duplicate wins")
            << QByteArray("Lan") << QByteArray("PortNumber") << true << QByteArray("9871");
        QTest::newRow("blanks inside brackets") << QByteArray("TunnelSrv") << QByteArray("Hostname")
                                                << true << QByteArray("  tunnel.example.org ");
        QTest::newRow("empty quotes")
            << QByteArray("TunnelSrv") << QByteArray("Login") << true << QByteArray("");
        QTest::newRow("bytes above 0x7F") << QByteArray("TunnelSrv") << QByteArray("Password")
                                          << true << QByteArray("p\xE9ss\xFF");
        QTest::newRow("empty value found")
            << QByteArray("TunnelSrv") << QByteArray("HeartBeat") << true << QByteArray("");
        QTest::newRow("last line without line end")
            << QByteArray("General") << QByteArray("Debug") << true << QByteArray("2");
        QTest::newRow("comment is not a key")
            << QByteArray("Lan") << QByteArray("# Comment") << false << QByteArray();
        QTest::newRow("line without =")
            << QByteArray("Lan") << QByteArray("no equals sign here") << false << QByteArray();
        QTest::newRow("empty key")
            << QByteArray("TunnelSrv") << QByteArray("") << false << QByteArray();
        QTest::newRow("key of another section")
            << QByteArray("Lan") << QByteArray("Debug") << false << QByteArray();
        QTest::newRow("missing section")
            << QByteArray("Server1") << QByteArray("Name") << false << QByteArray();
    }
    void read() {
        QFETCH(QByteArray, section);
        QFETCH(QByteArray, key);
        QFETCH(bool, found);
        QFETCH(QByteArray, value);
        for (const char* eol : {"\n", "\r\n"}) {
            const CIniFile ini(WriteFile("read.ini", HandEdited(eol)));
            std::string out = "untouched";
            QCOMPARE(ini.Read(Std(section), Std(key), out), found);
            QCOMPARE(QByteArray::fromStdString(out), found ? value : QByteArray("untouched"));
        }
    }

    void write_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("key"); // null: remove the section
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("in place, comments kept")
            << QByteArray("; c1\n[Lan]\n; c2\nPortNumber = 1\n; c3\n") << QByteArray("lan")
            << QByteArray("PORTNUMBER") << QByteArray("2")
            << QByteArray("; c1\n[Lan]\n; c2\nPortNumber=2\n; c3\n");
        QTest::newRow("first duplicate replaced")
            << QByteArray("[A]\nk=1\nk=2\n") << QByteArray("A") << QByteArray("k")
            << QByteArray("3") << QByteArray("[A]\nk=3\nk=2\n");
        QTest::newRow("new key after the section's last key")
            << QByteArray("[A]\nx=1\n\n[B]\ny=2\n") << QByteArray("A") << QByteArray("z")
            << QByteArray("3") << QByteArray("[A]\nx=1\nz=3\n\n[B]\ny=2\n");
        QTest::newRow("new key in an empty section")
            << QByteArray("[A]\n[B]\n") << QByteArray("a") << QByteArray("z") << QByteArray("3")
            << QByteArray("[A]\nz=3\n[B]\n");
        QTest::newRow("new section at the end")
            << QByteArray("[A]\nx=1\n") << QByteArray("B") << QByteArray("y") << QByteArray("2")
            << QByteArray("[A]\nx=1\n\n[B]\ny=2\n");
        QTest::newRow("CR LF kept")
            << QByteArray("[A]\r\nx=1\r\n") << QByteArray("B") << QByteArray("y") << QByteArray("2")
            << QByteArray("[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
        QTest::newRow("no line end at the end kept")
            << QByteArray("[A]\nx=1") << QByteArray("A") << QByteArray("x") << QByteArray("2")
            << QByteArray("[A]\nx=2");
        QTest::newRow("line end added before a new section")
            << QByteArray("[A]\nx=1") << QByteArray("B") << QByteArray("y") << QByteArray("2")
            << QByteArray("[A]\nx=1\n\n[B]\ny=2\n");
        QTest::newRow("bytes above 0x7F")
            << QByteArray("[A]\nx=1\n") << QByteArray("A") << QByteArray("x")
            << QByteArray("\xE9\xFF") << QByteArray("[A]\nx=\xE9\xFF\n");
        QTest::newRow("outer blanks quoted")
            << QByteArray("[A]\n") << QByteArray("A") << QByteArray("x") << QByteArray(" p ")
            << QByteArray("[A]\nx=\" p \"\n");
        QTest::newRow("remove section with its lines")
            << QByteArray("[A]\nx=1\n[Server2]\nName=S\n; note\n\n[B]\ny=2\n")
            << QByteArray("server2") << QByteArray() << QByteArray()
            << QByteArray("[A]\nx=1\n[B]\ny=2\n");
        QTest::newRow("remove every section of the name")
            << QByteArray("[S]\na=1\n[B]\nb=2\n[S]\nc=3\n") << QByteArray("S") << QByteArray()
            << QByteArray() << QByteArray("[B]\nb=2\n");
        QTest::newRow("remove missing section")
            << QByteArray("[A]\nx=1") << QByteArray("B") << QByteArray() << QByteArray()
            << QByteArray("[A]\nx=1");
        QTest::newRow("empty file") << QByteArray("") << QByteArray("A") << QByteArray("x")
                                    << QByteArray("1") << QByteArray("[A]\nx=1\n");
        QTest::newRow("garbage kept")
            << Raw("\x01\xFE[[=\0\n]]") << QByteArray("A") << QByteArray("x") << QByteArray("1")
            << Raw("\x01\xFE[[=\0\n]]\n\n[A]\nx=1\n");
        QTest::newRow("UTF-8 byte order mark")
            << QByteArray("\xEF\xBB\xBF[A]\nx=1\n") << QByteArray("A") << QByteArray("x")
            << QByteArray("2") << QByteArray("\xEF\xBB\xBF[A]\nx=2\n");
    }
    void write() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, section);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, after);
        const CIniFile ini(WriteFile("write.ini", before));
        QVERIFY(ini.Write(Std(section), key.isNull() ? nullptr : key.constData(), Std(value)));
        QCOMPARE(ReadFile(ini.Path()), after);
    }

    // What is written is what is read back, whatever the value looks like.
    void round_trip_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("outer blanks") << QByteArray("  pass word \t");
        QTest::newRow("outer quotes") << QByteArray("\"quoted\"");
        QTest::newRow("one quote") << QByteArray("\"");
        QTest::newRow("equals signs") << QByteArray("a=b==c");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("semicolon") << QByteArray("; not a comment");
        QTest::newRow("brackets") << QByteArray("[General]");
        QTest::newRow("high bytes") << QByteArray("\x7F\x80\xFF");
    }
    void round_trip() {
        QFETCH(QByteArray, value);
        const CIniFile ini(PathOf("round.ini"));
        QVERIFY(ini.Write("S", "k", Std(value)));
        std::string out;
        QVERIFY(ini.Read("S", "k", out));
        QCOMPARE(QByteArray::fromStdString(out), value);
    }

    // Nothing is cached: a change made by hand is seen by the next read.
    void reads_the_file_each_time() {
        const CIniFile ini(WriteFile("live.ini", "[A]\nx=1\n"));
        std::string out;
        QVERIFY(ini.Read("A", "x", out));
        WriteFile("live.ini", "[A]\nx=2\n");
        QVERIFY(ini.Read("A", "x", out));
        QCOMPARE(out, std::string("2"));
    }

    void new_file_is_owner_only() {
        const std::string path = PathOf("fresh.ini");
        QVERIFY(CIniFile(path).Write("TunnelSrv", "Password", "secret"));
        const QFile::Permissions perms = QFile::permissions(QFile::decodeName(path.c_str()));
        QCOMPARE(perms & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(ReadFile(path), QByteArray("[TunnelSrv]\nPassword=secret\n"));
        QVERIFY(QDir(m_dir.path()).entryList(QDir::Files).filter("fresh").size() == 1);
    }

    // A rewrite keeps the mode exactly: never more readable than it was, nor less.
    void existing_permissions_kept_data() {
        QTest::addColumn<int>("mode");
        QTest::newRow("group may read") << 0640;
        QTest::newRow("everyone may read") << 0644;
        QTest::newRow("owner may only read") << 0400;
        QTest::newRow("owner only") << 0600;
    }
    void existing_permissions_kept() {
        QFETCH(int, mode);
        const std::string path = WriteFile("shared.ini", "[A]\nx=1\n");
        QVERIFY(::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0);
        QVERIFY(CIniFile(path).Write("A", "x", "2"));
        QCOMPARE(ModeOf(path), mode);
        QCOMPARE(ReadFile(path), QByteArray("[A]\nx=2\n"));
    }

    // A crash between writing the copy and putting it in place leaves the copy; it holds the
    // password, so it is the owner's only, and the next write removes it. Files that are not
    // such a copy, or that a live writer holds, stay.
    void stray_copy_owner_only_and_removed() {
        const std::string path = WriteFile("Kavlink.ini", "[TunnelSrv]\nPassword=old\n");
        QVERIFY(::chmod(path.c_str(), 0644) == 0);
        CIniFile::SetStepHook([](CIniFile::Step step) { return step != CIniFile::Step::Replace; });
        QVERIFY(!CIniFile(path).Write("TunnelSrv", "Password", "new"));
        CIniFile::SetStepHook({});
        QCOMPARE(ReadFile(path), QByteArray("[TunnelSrv]\nPassword=old\n"));
        const QStringList strays = Strays();
        QCOMPARE(strays.size(), 1);
        QCOMPARE(ModeOf(PathOf(strays.front())), 0600);

        const QStringList others = {"Kavlink.ini.bak", "Kavlink.ini.1234567", "Kavlink.ini.12345~",
                                    "Other.ini.abc123", "Kavlink.ini.live12"};
        for (const QString& name : others)
            WriteFile(name, "x");
        const int live = ::open(PathOf("Kavlink.ini.live12").c_str(), O_RDONLY | O_CLOEXEC);
        QVERIFY(live >= 0 && ::flock(live, LOCK_EX) == 0);
        QVERIFY(CIniFile(path).Write("TunnelSrv", "Password", "new"));
        ::close(live);
        QCOMPARE(ReadFile(path), QByteArray("[TunnelSrv]\nPassword=new\n"));
        QCOMPARE(ModeOf(path), 0644);
        QStringList expected = others + QStringList{"Kavlink.ini"};
        expected.sort();
        QCOMPARE(Strays(), QStringList{"Kavlink.ini.live12"});
        QStringList left = QDir(m_dir.path()).entryList({"Kavlink.ini*", "Other*"}, QDir::Files);
        left.sort();
        QCOMPARE(left, expected);
    }

    // A value, key or section that would start a line of its own could forge settings.
    void line_breaking_input_refused_data() {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("LF in value")
            << QByteArray("A") << QByteArray("x") << QByteArray("v\n[General]\nDebug=3");
        QTest::newRow("CR in value") << QByteArray("A") << QByteArray("x") << QByteArray("v\rw");
        QTest::newRow("NUL in value") << QByteArray("A") << QByteArray("x") << Raw("v\0w");
        QTest::newRow("= in key") << QByteArray("A") << QByteArray("x=y") << QByteArray("v");
        QTest::newRow("comment key") << QByteArray("A") << QByteArray(";x") << QByteArray("v");
        QTest::newRow("empty key") << QByteArray("A") << QByteArray(" ") << QByteArray("v");
        QTest::newRow("] in section") << QByteArray("A]x") << QByteArray("k") << QByteArray("v");
        QTest::newRow("empty section") << QByteArray("") << QByteArray("k") << QByteArray("v");
    }
    void line_breaking_input_refused() {
        QFETCH(QByteArray, section);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        const QByteArray before("[A]\nx=1\n");
        const CIniFile ini(WriteFile("refuse.ini", before));
        QVERIFY(!ini.Write(Std(section), key.constData(), Std(value)));
        QCOMPARE(ReadFile(ini.Path()), before);
    }

    // A path that cannot be read gives defaults, and a write must not replace what it could
    // not read.
    void unreadable_path() {
        const std::string path = PathOf("a-directory.ini");
        QVERIFY(QDir(m_dir.path()).mkdir("a-directory.ini"));
        std::string out = "default";
        QVERIFY(!CIniFile(path).Read("A", "x", out));
        QCOMPARE(out, std::string("default"));
        QVERIFY(!CIniFile(path).Write("A", "x", "1"));
        QVERIFY(!CIniFile("/dev/zero").Read("A", "x", out));
        QVERIFY(!CIniFile(PathOf("missing-dir/k.ini")).Write("A", "x", "1"));
        QVERIFY(!CIniFile(PathOf("missing-dir/k.ini")).Read("A", "x", out));
    }
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "TestIniFile.moc"
