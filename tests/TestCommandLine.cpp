#include "CommandLine.h"
#include "PortNumber.h"
#include "StartupPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(DataRootSource)

namespace {
const QString kDefaultConfig = "<root>Zentrik/cfg/";
const QString kDefaultIni = "<root>Zentrik/cfg/Kavlink.ini";
const QString kLong(300, 'w');
} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QString Root() const { return m_dir->path() + '/'; }
    QString Expand(QString text) const { return text.replace("<root>", Root()); }
    bool IsDirectory(const std::string& path) const {
        return QFileInfo(QString::fromStdString(path)).isDir();
    }

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void parse_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("multi");
        QTest::addColumn<QString>("profile");
        QTest::addColumn<QString>("configDirectory");
        QTest::addColumn<QString>("iniPath");
        auto row = [](const char* name, const QStringList& arguments, bool multi,
                      const QString& profile, const QString& config = kDefaultConfig,
                      const QString& ini = kDefaultIni) {
            QTest::newRow(name) << arguments << multi << profile << config << ini;
        };
        row("no arguments", {}, false, "");
        row("-m", {"-m"}, true, "");
        row("--multi-instance", {"--multi-instance"}, true, "");
        row("-mx: -m, then x ends the parse", {"-mx", "-p", "P"}, true, "");
        row("-m then an unknown word", {"-m", "stray", "-p", "P"}, true, "");
        row("stray word before -m", {"stray", "-m"}, false, "");
        row("-M", {"-M"}, false, "");
        row("/m", {"/m"}, false, "");
        row("--Profile", {"--Profile", "P", "-m"}, false, "");
        row("last -p wins", {"-p", "Contest", "-p", "Home"}, false, "Home");
        row("--profile at the end", {"-m", "--profile"}, true, "");
        row("-p with only blanks after it", {"-p", "", ""}, false, "");
        row("-p takes one word", {"-p", "My Home", "-m"}, false, "My");
        row("quotes are ordinary", {"-p", "\"Home\""}, false, "\"Home\"");
        row("long forms", {"--profile", "P", "--alternate-ini", "x.ini"}, false, "P",
            kDefaultConfig, "<root>Zentrik/cfg/x.ini");
        row("short form then long form", {"-a", "--alternate-appdata", "D"}, false, "",
            "<root>D/cfg/", "<root>D/cfg/Kavlink.ini");
        row("-i then -a: -a resets the ini", {"-i", "my.ini", "-a", "D"}, false, "", "<root>D/cfg/",
            "<root>D/cfg/Kavlink.ini");
        row("-a then -i: relative to D", {"-a", "D", "-i", "my.ini"}, false, "", "<root>D/cfg/",
            "<root>D/cfg/my.ini");
        row("-a with a separator", {"-a", "<root>abs"}, false, "", "<root>abs/cfg/",
            "<root>abs/cfg/Kavlink.ini");
        row("-a ending in a separator", {"--alternate-appdata", "<root>abs/"}, false, "",
            "<root>abs/cfg/", "<root>abs/cfg/Kavlink.ini");
        row("-i with a separator", {"-i", "<root>elsewhere/k.ini"}, false, "", kDefaultConfig,
            "<root>elsewhere/k.ini");
        row("-a at the end", {"-a"}, false, "");
        row("overlong -p is cut, its tail not parsed", {"-p", kLong + "-m"}, false,
            QString(259, 'w'));
        row("overlong -i is cut", {"-i", kLong, "-m"}, true, "", kDefaultConfig,
            "<root>Zentrik/cfg/" + QString(255, 'w'));
        row("overlong -a is cut", {"-a", kLong}, false, "", "<root>" + QString(255, 'w') + "/cfg/",
            "<root>" + QString(255, 'w') + "/cfg/Kavlink.ini");
    }
    void parse() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, multi);
        QFETCH(QString, profile);
        QFETCH(QString, configDirectory);
        QFETCH(QString, iniPath);
        std::vector<std::string> words;
        for (const QString& argument : arguments)
            words.push_back(Expand(argument).toStdString());
        StartupPaths paths =
            StartupPaths::Defaults(DataRootSource::Folder, m_dir->path().toStdString(), "/prog/");
        const CommandLine options = CommandLine::Parse(CommandLine::Join(words), paths);
        QCOMPARE(options.MultiInstance, multi);
        QCOMPARE(QString::fromStdString(options.ProfileName), profile);
        QCOMPARE(QString::fromStdString(paths.ConfigDirectory), Expand(configDirectory));
        QCOMPARE(QString::fromStdString(paths.IniPath), Expand(iniPath));
        // The default directories exist whatever the arguments, and so does the one in use.
        QVERIFY(IsDirectory(Expand(kDefaultConfig).toStdString()));
        QVERIFY(IsDirectory(paths.ConfigDirectory));
    }

    void default_places_data() {
        QTest::addColumn<DataRootSource>("source");
        QTest::addColumn<QString>("dataRoot");
        QTest::addColumn<QString>("configDirectory");
        QTest::addColumn<QString>("iniPath");
        QTest::addColumn<bool>("created");
        QTest::newRow("configuration folder")
            << DataRootSource::Folder << "<root>" << kDefaultConfig << kDefaultIni << true;
        QTest::newRow("no folder: program directory")
            << DataRootSource::ProgramDirectory << "<root>prog/"
            << "<root>prog/cfg/"
            << "<root>prog/cfg/Kavlink.ini" << true;
        QTest::newRow("no folder facility: ini beside the program")
            << DataRootSource::ProgramOnly << "<root>prog/"
            << "<root>prog/cfg/"
            << "<root>prog/Kavlink.ini" << false;
    }
    void default_places() {
        QFETCH(DataRootSource, source);
        QFETCH(QString, dataRoot);
        QFETCH(QString, configDirectory);
        QFETCH(QString, iniPath);
        QFETCH(bool, created);
        QVERIFY(QDir(m_dir->path()).mkdir("prog"));
        const StartupPaths paths = StartupPaths::Defaults(source, m_dir->path().toStdString(),
                                                          Expand("<root>prog/").toStdString());
        QCOMPARE(QString::fromStdString(paths.DataRoot), Expand(dataRoot));
        QCOMPARE(QString::fromStdString(paths.ConfigDirectory), Expand(configDirectory));
        QCOMPARE(QString::fromStdString(paths.IniPath), Expand(iniPath));
        QCOMPARE(IsDirectory(paths.ConfigDirectory), created);

        // A bare -a name goes under the data root, whichever it is.
        StartupPaths moved = paths;
        CommandLine::Parse("-a D -i F.ini", moved);
        QCOMPARE(QString::fromStdString(moved.IniPath), Expand(dataRoot) + "D/cfg/F.ini");
        QVERIFY(IsDirectory(moved.ConfigDirectory));
    }

    void make_directories_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("created");
        QTest::addColumn<QStringList>("absent");
        QTest::newRow("every level")
            << "<root>a/b/c/" << QStringList{"a", "a/b", "a/b/c"} << QStringList{};
        QTest::newRow("file name not created")
            << "<root>a/file.ini" << QStringList{"a"} << QStringList{"a/file.ini"};
        QTest::newRow("relative path")
            << "rel/sub/" << QStringList{"rel", "rel/sub"} << QStringList{};
        QTest::newRow("no separator creates nothing")
            << "plain" << QStringList{} << QStringList{"plain"};
        QTest::newRow("doubled separators")
            << "<root>x//y/" << QStringList{"x", "x/y"} << QStringList{};
    }
    void make_directories() {
        QFETCH(QString, path);
        QFETCH(QStringList, created);
        QFETCH(QStringList, absent);
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        MakeDirectories(Expand(path).toStdString());
        QDir::setCurrent(previous);
        for (const QString& name : created)
            QVERIFY2(QFileInfo(m_dir->filePath(name)).isDir(), qPrintable(name));
        for (const QString& name : absent)
            QVERIFY2(!QFileInfo::exists(m_dir->filePath(name)), qPrintable(name));
    }

    void information_text_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("printed"); // "-" for nothing printed: the program starts
        const QString usage = QString::fromStdString(HelpText());
        QVERIFY(usage.startsWith(QString::fromStdString(UsageText()) + '\n'));
        QTest::newRow("help") << QStringList{"--help"} << usage;
        QTest::newRow("version") << QStringList{"--version"} << "Kavlink 1.18.0\n";
        QTest::newRow("help first, more after") << QStringList{"--help", "-m"} << usage;
        QTest::newRow("no arguments") << QStringList{} << "-";
        QTest::newRow("not first: read as now") << QStringList{"-m", "--help"} << "-";
        QTest::newRow("profile named --help") << QStringList{"-p", "--help"} << "-";
        QTest::newRow("case counts") << QStringList{"--Help"} << "-";
        QTest::newRow("short form is not help") << QStringList{"-h"} << "-";
    }

    void information_text() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, printed);
        std::vector<std::string> words;
        for (const QString& a : arguments)
            words.push_back(a.toStdString());
        const std::optional<std::string> text = InformationText(words);
        QCOMPARE(text ? QString::fromStdString(*text) : QString("-"), printed);
    }

    void portNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("allowZero");
        QTest::addColumn<int>("port"); // -1: refused
        QTest::newRow("default tunnel port") << "10368" << false << 10368;
        QTest::newRow("highest") << "65535" << false << 65535;
        QTest::newRow("past the highest") << "65536" << false << -1;
        QTest::newRow("zero where it picks one") << "0" << true << 0;
        QTest::newRow("zero where it cannot") << "0" << false << -1;
        QTest::newRow("leading zeros") << "00080" << false << 80;
        QTest::newRow("sign") << "+80" << false << -1;
        QTest::newRow("blank") << " 80" << false << -1;
        QTest::newRow("letters after") << "80x" << false << -1;
        QTest::newRow("empty") << "" << true << -1;
        QTest::newRow("long") << "0000010368" << false << -1;
    }
    void portNumber() {
        QFETCH(QString, text);
        QFETCH(bool, allowZero);
        QFETCH(int, port);
        const auto parsed = ParsePortNumber(text, allowZero);
        QCOMPARE(parsed ? int(*parsed) : -1, port);
    }

    // The same parser as an entry field reads it (the options dialog's ports).
    void portField_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("port");
        const int valid = int(PortText::Valid);
        const int notANumber = int(PortText::NotANumber);
        const int outOfRange = int(PortText::OutOfRange);
        QTest::newRow("plain") << "10368" << valid << 10368;
        QTest::newRow("blanks and tabs around") << " \t 80\t " << valid << 80;
        QTest::newRow("leading zeros") << "00080" << valid << 80;
        // A typo is refused, not read as the digits before it or as a lesser number.
        QTest::newRow("junk after the digits") << "44443x" << notANumber << -1;
        QTest::newRow("letter among the digits") << "1o369" << notANumber << -1;
        QTest::newRow("blank among the digits") << "10 368" << notANumber << -1;
        QTest::newRow("zero") << "0" << outOfRange << -1;
        QTest::newRow("past the highest") << "65536" << outOfRange << -1;
        QTest::newRow("32-bit wrap is not 1") << "4294967297" << outOfRange << -1;
        QTest::newRow("10000 digits") << QString(10000, '9') << outOfRange << -1;
        QTest::newRow("sign") << "-1" << notANumber << -1;
        QTest::newRow("empty") << "" << notANumber << -1;
        QTest::newRow("only blanks") << "  " << notANumber << -1;
    }
    void portField() {
        QFETCH(QString, text);
        QFETCH(int, result);
        QFETCH(int, port);
        std::int32_t read = -1;
        QCOMPARE(int(ReadPortText(text, read)), result);
        QCOMPARE(read, port);
    }

    void usage_text() {
        QCOMPARE(UsageText(), std::string("Kavlink[.exe] [{-a|--alternate-appdata} "
                                          "IniFileDirectory] [{-i|--alternate-ini} IniFile.ini] "
                                          "[{-m|--multi-instance}] [{-p|--profile} ProfileName]"));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "TestCommandLine.moc"
