#include "CIniFile.h"
#include "CSettingsStore.h"
#include "Settings.h"
#include "StoredText.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTest>

namespace {
Settings Profile(const char* host, std::int32_t port, const char* login, const char* password) {
    Settings profile;
    profile.Hostname = host;
    profile.TunnelPortNumber = port;
    profile.Login = login;
    profile.Password = password;
    return profile;
}

QByteArray FieldOf(const Settings& s, const QByteArray& field) {
    if (field == "BroadcastAddress")
        return QByteArray::fromStdString(s.BroadcastAddress);
    if (field == "Hostname")
        return QByteArray::fromStdString(s.Hostname);
    if (field == "Login")
        return QByteArray::fromStdString(s.Login);
    if (field == "Password")
        return QByteArray::fromStdString(s.Password);
    if (field == "TunnelPortNumber")
        return QByteArray::number(s.TunnelPortNumber);
    if (field == "LanPortNumber")
        return QByteArray::number(s.LanPortNumber);
    if (field == "HeartBeat")
        return QByteArray::number(s.HeartBeat);
    if (field == "FilterTimeSync")
        return QByteArray::number(s.FilterTimeSync);
    if (field == "Debug")
        return QByteArray::number(s.Debug);
    qFatal("unknown field");
}

// Profiles 1 and 3 share a name; 4 has no port; 5 has a host but no name.
// Ends every ini write after the first allowedSteps steps, as a crash at that moment would.
class CrashAfter {
public:
    explicit CrashAfter(int allowedSteps) {
        CIniFile::SetStepHook(
            [this, allowedSteps](CIniFile::Step) { return ++m_steps <= allowedSteps; });
    }
    ~CrashAfter() { CIniFile::SetStepHook({}); }
    CrashAfter(const CrashAfter&) = delete;
    CrashAfter& operator=(const CrashAfter&) = delete;
    int Steps() const { return m_steps; }

private:
    int m_steps = 0;
};

const QByteArray kProfiles = "[TunnelSrv]\n"
                             "Hostname=before\n"
                             "[General]\n"
                             "Debug=3\n"
                             "[Server1]\n"
                             "Name=Home\n"
                             "Hostname=one.example\n"
                             "PortNumber=1001\n"
                             "Login=l1\n"
                             "Password=p1\n"
                             "[Server3]\n"
                             "Name=Home\n"
                             "Hostname=three.example\n"
                             "[Server4]\n"
                             "Name=NoPort\n"
                             "Hostname=four.example\n"
                             "[Server5]\n"
                             "Hostname=five.example\n";
} // namespace

class TestSettings : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::string m_path;

    void WriteIni(const QByteArray& bytes) {
        QFile file(QString::fromStdString(m_path));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write the fixture");
    }
    QByteArray ReadIni() const {
        QFile file(QString::fromStdString(m_path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void init() {
        m_path = m_dir.filePath("Kavlink.ini").toStdString();
        QFile::remove(QString::fromStdString(m_path));
    }

    void load_data() {
        QTest::addColumn<QByteArray>("ini"); // null: no file at all
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("no file: broadcast")
            << QByteArray() << QByteArray("BroadcastAddress") << QByteArray("127.255.255.255");
        QTest::newRow("no Lan: port") << QByteArray("[TunnelSrv]\nHostname=h\n")
                                      << QByteArray("LanPortNumber") << QByteArray("9871");
        QTest::newRow("no TunnelSrv: port")
            << QByteArray("[Lan]\nPortNumber=1\n") << QByteArray("TunnelPortNumber")
            << QByteArray("10368");
        QTest::newRow("no TunnelSrv: host")
            << QByteArray("[Lan]\nPortNumber=1\n") << QByteArray("Hostname") << QByteArray("");
        QTest::newRow("no TunnelSrv: heartbeat off")
            << QByteArray("[Lan]\n") << QByteArray("HeartBeat") << QByteArray("0");
        QTest::newRow("no TunnelSrv: filter off")
            << QByteArray("[Lan]\n") << QByteArray("FilterTimeSync") << QByteArray("0");
        QTest::newRow("HeartBeat empty is on") << QByteArray("[TunnelSrv]\nHeartBeat=\n")
                                               << QByteArray("HeartBeat") << QByteArray("1");
        QTest::newRow("HeartBeat 0 is off") << QByteArray("[TunnelSrv]\nHeartBeat=0\n")
                                            << QByteArray("HeartBeat") << QByteArray("0");
        QTest::newRow("HeartBeat 00 is on") << QByteArray("[TunnelSrv]\nHeartBeat=00\n")
                                            << QByteArray("HeartBeat") << QByteArray("1");
        QTest::newRow("HeartBeat no is on") << QByteArray("[TunnelSrv]\nHeartBeat=no\n")
                                            << QByteArray("HeartBeat") << QByteArray("1");
        QTest::newRow("FilterTimeSync false is on")
            << QByteArray("[TunnelSrv]\nFilterTimeSync=false\n") << QByteArray("FilterTimeSync")
            << QByteArray("1");
        QTest::newRow("Debug 2") << QByteArray("[General]\nDebug=2\n") << QByteArray("Debug")
                                 << QByteArray("2");
        QTest::newRow("Debug x is 0")
            << QByteArray("[General]\nDebug=x\n") << QByteArray("Debug") << QByteArray("0");
        QTest::newRow("port with trailing text") << QByteArray("[Lan]\nPortNumber= 12abc\n")
                                                 << QByteArray("LanPortNumber") << QByteArray("12");
        QTest::newRow("port out of range saturates")
            << QByteArray("[TunnelSrv]\nPortNumber=99999999999\n") << QByteArray("TunnelPortNumber")
            << QByteArray("2147483647");
        QTest::newRow("garbage file: defaults")
            << QByteArray("\x00\xFF\x01garbage\n=\n[", 14) << QByteArray("TunnelPortNumber")
            << QByteArray("10368");
        QTest::newRow("empty file: defaults")
            << QByteArray("") << QByteArray("LanPortNumber") << QByteArray("9871");
    }
    void load() {
        QFETCH(QByteArray, ini);
        QFETCH(QByteArray, field);
        QFETCH(QByteArray, expected);
        if (!ini.isNull())
            WriteIni(ini);
        const CSettingsStore store(m_path);
        Settings settings;
        settings.BroadcastAddress = settings.Hostname = "stale";
        settings.TunnelPortNumber = settings.LanPortNumber = settings.Debug = -7;
        settings.HeartBeat = settings.FilterTimeSync = -7;
        LoadSettings(store, settings);
        QCOMPARE(FieldOf(settings, field), expected);
    }

    // The order, the number formats, and Debug left as it was.
    void save() {
        WriteIni("[General]\nDebug=3\n");
        Settings settings;
        settings.Hostname = "tunnel.example";
        settings.TunnelPortNumber = -1;
        settings.Password = "pw";
        settings.HeartBeat = 5;
        settings.Debug = 1;
        SaveSettings(CSettingsStore(m_path), settings);
        QCOMPARE(ReadIni(), QByteArray("[General]\nDebug=3\n\n"
                                       "[Lan]\nBroadcastAddress=127.255.255.255\n"
                                       "PortNumber=9871\n\n"
                                       "[TunnelSrv]\nHostname=tunnel.example\nPortNumber=-1\n"
                                       "Login=\nPassword=pw\nHeartBeat=1\nFilterTimeSync=0\n"
                                       "Tls=0\nTlsFingerprint=\n"));
        SaveSettings(CSettingsStore(m_path), settings);
        QVERIFY(!ReadIni().contains("Debug=1"));
    }

    // What a stored value shows, and what goes back: the bytes as they were while the text is
    // unchanged, UTF-8 once it was edited.
    void stored_text_rule_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("ASCII") << QByteArray("tunnel.example") << QStringLiteral("tunnel.example");
        QTest::newRow("UTF-8") << QByteArray("K\xC3\xB6ln \xE6\x9D\xB1")
                               << QStringLiteral("K\u00F6ln \u6771");
        QTest::newRow("Latin-1") << QByteArray("caf\xE9") << QStringLiteral("caf\u00E9");
        QTest::newRow("Windows-1252, read as Latin-1")
            << QByteArray("J\x9Argen\x80") << QStringLiteral("J\u009Argen\u0080");
        QTest::newRow("UTF-8 cut short") << QByteArray("ab\xC3") << QStringLiteral("ab\u00C3");
        QTest::newRow("overlong slash") << QByteArray("\xC0\xAF") << QStringLiteral("\u00C0\u00AF");
        QTest::newRow("surrogate")
            << QByteArray("\xED\xA0\x80") << QStringLiteral("\u00ED\u00A0\u0080");
        QTest::newRow("byte order mark kept")
            << QByteArray("\xEF\xBB\xBFx") << QStringLiteral("\uFEFFx");
        QTest::newRow("empty") << QByteArray() << QString();
    }
    void stored_text_rule() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        const std::string original = bytes.toStdString();
        QCOMPARE(StoredText(original), shown);
        QCOMPARE(QByteArray::fromStdString(StoredTextUtf8(original)), shown.toUtf8());
        QCOMPARE(QByteArray::fromStdString(StoredBytes(shown, original)), bytes);
        const QString edited = shown + QStringLiteral("\u00E9");
        QCOMPARE(QByteArray::fromStdString(StoredBytes(edited, original)), edited.toUtf8());
    }

    void long_value_cut() {
        const QByteArray value(2000, 'v');
        WriteIni("[TunnelSrv]\nPassword=" + value + "\n");
        std::string out;
        QCOMPARE(CSettingsStore(m_path).IniRead("TunnelSrv", "Password", {}, out), 1022);
        QCOMPARE(QByteArray::fromStdString(out), value.left(1022));
    }

    // Every row of the table by itself: its default in a fresh Settings, its value read from
    // its own key, written back by a save (or not, for the hand-edited ones), and kept by a
    // profile when the row says so.
    void every_setting_by_its_row() {
        for (const SettingDef& def : SettingsTable()) {
            const QString row = QString("%1/%2").arg(def.section, def.key);
            const std::string stored = def.type == SettingType::Text     ? "x\xE9y"
                                       : def.type == SettingType::Number ? "4321"
                                                                         : "1";
            QVERIFY2(CSettingsStore::Format(def, Settings()) == DefaultText(def), qPrintable(row));
            WriteIni(QByteArray("[") + def.section + "]\n" + def.key + "=" +
                     QByteArray::fromStdString(stored) + "\n");
            const CSettingsStore store(m_path);
            Settings loaded;
            LoadSettings(store, loaded);
            QVERIFY2(CSettingsStore::Format(def, loaded) == stored, qPrintable(row));

            WriteIni({});
            SaveSettings(store, loaded);
            std::string written;
            store.IniRead(def.section, def.key, "<none>", written);
            QVERIFY2(written == (def.saved ? stored : "<none>"), qPrintable(row));

            QVERIFY(store.SaveServer(1, "One", loaded));
            Settings used;
            UseServerProfile(used, store.LoadServer(1));
            QVERIFY2(CSettingsStore::Format(def, used) ==
                         (def.inProfile != ProfileKey::No ? stored : DefaultText(def)),
                     qPrintable(row));
        }
    }

    void apply_profile_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("matched");
        QTest::addColumn<QByteArray>("hostname");
        QTest::addColumn<int>("port");
        QTest::newRow("first of two with one name")
            << QByteArray("Home") << true << QByteArray("one.example") << 1001;
        QTest::newRow("no port key")
            << QByteArray("NoPort") << true << QByteArray("four.example") << 10368;
        QTest::newRow("unknown name") << QByteArray("Away") << false << QByteArray("keep") << 7;
        QTest::newRow("case differs") << QByteArray("home") << false << QByteArray("keep") << 7;
        QTest::newRow("empty name matches no nameless profile")
            << QByteArray("") << false << QByteArray("keep") << 7;
    }
    void apply_profile() {
        QFETCH(QByteArray, name);
        QFETCH(bool, matched);
        QFETCH(QByteArray, hostname);
        QFETCH(int, port);
        WriteIni(kProfiles);
        const CSettingsStore store(m_path);
        Settings settings;
        settings.Hostname = "keep";
        settings.TunnelPortNumber = 7;
        QCOMPARE(ApplyProfile(store, settings, name.toStdString()), matched);
        QCOMPARE(QByteArray::fromStdString(settings.Hostname), hostname);
        QCOMPARE(settings.TunnelPortNumber, port);
        if (!matched) {
            QCOMPARE(ReadIni(), kProfiles);
            return;
        }
        // The profile becomes the stored tunnel server; Debug stays as it was.
        Settings reloaded;
        LoadSettings(store, reloaded);
        QCOMPARE(QByteArray::fromStdString(reloaded.Hostname), hostname);
        QCOMPARE(reloaded.TunnelPortNumber, port);
        QCOMPARE(reloaded.Debug, 3);
    }

    // A profile saved before TLS holds none of its keys, and says nothing about it: TLS and
    // the pin stay as they are. Only a key the profile holds changes its setting.
    void profile_tls_keys_said_or_not_data() {
        QTest::addColumn<QByteArray>("tlsKeys"); // of the profile
        QTest::addColumn<int>("tls");
        QTest::addColumn<QByteArray>("pin");
        const QByteArray pin = QByteArray(64, 'a');
        const QByteArray other = QByteArray(64, 'b');
        QTest::newRow("saved before TLS") << QByteArray() << 1 << pin;
        QTest::newRow("clear, without a pin")
            << QByteArray("Tls=0\nTlsFingerprint=\n") << 0 << QByteArray();
        QTest::newRow("its own pin") << "Tls=1\nTlsFingerprint=" + other + "\n" << 1 << other;
        QTest::newRow("switch only") << QByteArray("Tls=0\n") << 0 << pin;
        QTest::newRow("empty pin only") << QByteArray("TlsFingerprint=\n") << 1 << QByteArray();
    }
    void profile_tls_keys_said_or_not() {
        QFETCH(QByteArray, tlsKeys);
        QFETCH(int, tls);
        QFETCH(QByteArray, pin);
        WriteIni("[TunnelSrv]\nHostname=before\nPortNumber=10369\nTls=1\nTlsFingerprint=" +
                 QByteArray(64, 'a') +
                 "\n[Server1]\nName=Old\nHostname=old.example\nPortNumber=1111\nLogin=l\n"
                 "Password=p\n" +
                 tlsKeys);
        const CSettingsStore store(m_path);
        Settings settings;
        LoadSettings(store, settings);
        QVERIFY(ApplyProfile(store, settings, "Old"));
        // As -p leaves them, and as the next start reads them.
        Settings reloaded;
        LoadSettings(store, reloaded);
        for (const Settings* s : {&settings, &reloaded}) {
            QCOMPARE(s->Hostname, std::string("old.example"));
            QCOMPARE(s->TunnelPortNumber, 1111);
            QCOMPARE(s->Tls, tls);
            QCOMPARE(QByteArray::fromStdString(s->TlsFingerprint), pin);
        }
    }

    // Exactly what QHostAddress reads as the same IPv4 address; anything a reader could take
    // for another address, or for none, is refused.
    void broadcast_address_rule_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("valid");
        for (const char* good : {"192.168.1.255", "127.255.255.255", "255.255.255.255", "0.0.0.0",
                                 "10.0.0.255", "1.2.3.4"})
            QTest::newRow(good) << QByteArray(good) << true;
        for (const char* bad :
             {"192.168.1.300", "256.1.1.1",  "192.168.1",  "192.168.1.255.1", "192.168.01.255",
              "010.0.0.1",     "0x7f.0.0.1", "1.2.3.4 ",   " 1.2.3.4",        "1..2.3",
              "1.2.3.",        ".1.2.3",     "1234.1.1.1", "1.2.3.-1",        "+1.2.3.4",
              "3232235775",    "::1",        "localhost",  "1.2.3.4/24",      "",
              "1.2.3.4\n"})
            QTest::newRow(qPrintable(QString("refused: \"%1\"").arg(bad).replace('\n', "\\n")))
                << QByteArray(bad) << false;
    }
    void broadcast_address_rule() {
        QFETCH(QByteArray, value);
        QFETCH(bool, valid);
        const char* problem = BroadcastAddressProblem(value.toStdString());
        QCOMPARE(problem == nullptr, valid);
        if (valid)
            QCOMPARE(QHostAddress(QString::fromLatin1(value)).toString(), QString(value));
        else
            QVERIFY(QByteArray(problem).startsWith("is not an IPv4 address"));
    }

    // Keys saved together reach the file together: a crash at any step of the write leaves
    // all the old values or all the new ones, never the login of one server beside the
    // password of another.
    void group_write_never_mixed_data() {
        QTest::addColumn<int>("operation");
        QTest::newRow("save settings") << 0;
        QTest::newRow("apply a profile at start") << 1;
        QTest::newRow("save a new profile") << 2;
        QTest::newRow("save over a profile") << 3;
    }
    void group_write_never_mixed() {
        QFETCH(int, operation);
        const auto run = [&] {
            const CSettingsStore store(m_path);
            Settings settings;
            settings.Hostname = "new.example";
            settings.Login = "new-login";
            settings.Password = "new-password";
            const Settings profile = Profile("p.example", 2002, "p-login", "p-password");
            switch (operation) {
            case 0:
                SaveSettings(store, settings);
                break;
            case 1:
                ApplyProfile(store, settings, "Home");
                break;
            case 2:
                store.SaveServer(5, "Five", profile);
                break;
            default:
                store.SaveServer(1, "Home", profile);
                break;
            }
        };
        const QByteArray before =
            kProfiles + "[TunnelSrv]\nLogin=old-login\nPassword=old-password\n";
        WriteIni(before);
        run();
        const QByteArray after = ReadIni();
        QVERIFY(after != before);

        for (int allowed = 0;; ++allowed) {
            WriteIni(before);
            int steps = 0;
            {
                const CrashAfter crash(allowed);
                run();
                steps = crash.Steps();
            }
            const QByteArray onDisk = ReadIni();
            QVERIFY2(
                onDisk == before || onDisk == after,
                qPrintable(QString("crash after %1 steps left:\n%2").arg(allowed).arg(onDisk)));
            if (allowed >= steps)
                break; // the write ran to its end
            QCOMPARE(onDisk, before);
        }
        // The copies the crashes left are cleared by the next write.
        WriteIni(before);
        run();
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList{"Kavlink.ini"});
    }

    void profile_operations() {
        WriteIni(kProfiles);
        const CSettingsStore store(m_path);
        const Settings edited = Profile("new.example", 2002, "nl", "np");

        // A nameless profile needs a name before anything is saved.
        QVERIFY(!store.SaveServer(5, "", edited));
        QCOMPARE(ReadIni(), kProfiles);
        QVERIFY(store.SaveServer(5, "Five", edited));
        QCOMPARE(store.ReadServerName(5), std::string("Five"));
        QCOMPARE(store.LoadServer(5).values.TunnelPortNumber, 2002);

        // An existing name is not rewritten by a save.
        QVERIFY(store.SaveServer(1, "Ignored", edited));
        QCOMPARE(store.ReadServerName(1), std::string("Home"));
        QCOMPARE(store.LoadServer(1).values.Hostname, std::string("new.example"));

        store.RenameServer(3, "Cottage");
        QCOMPARE(store.ReadServerName(3), std::string("Cottage"));
        QCOMPARE(store.LoadServer(3).values.Hostname, std::string("three.example"));
        QCOMPARE(store.LoadServer(3).values.TunnelPortNumber, 10368);
        store.RenameServer(3, "");
        QCOMPARE(store.ReadServerName(3), std::string("Cottage"));

        QVERIFY(store.SaveServer(2, "Two", edited));
        store.DeleteServer(2);
        QVERIFY(!ReadIni().contains("[Server2]"));
        QCOMPARE(store.ReadServerName(1), std::string("Home"));
        QCOMPARE(store.ReadServerName(3), std::string("Cottage"));
        QVERIFY(store.ReadServerName(2).empty());
        QVERIFY(store.SaveServer(2, "Again", edited));
        QCOMPARE(store.ReadServerName(2), std::string("Again"));

        // Numbers outside 1 to 6 address nothing.
        QVERIFY(!store.SaveServer(7, "Seven", edited));
        QVERIFY(!ReadIni().contains("Server7"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "TestSettings.moc"
