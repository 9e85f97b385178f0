#include "StartupPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
constexpr std::string_view kSeparators = "/";

std::string WithSeparator(std::string directory) {
    if (directory.empty() || kSeparators.find(directory.back()) == std::string_view::npos)
        directory += '/';
    return directory;
}

QString FileName(const std::string& path) {
    return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

std::string LocalPath(const QString& path) {
    const QByteArray bytes = QFile::encodeName(path);
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The root ("/", or a drive such as "C:\") is passed over, never created.
std::size_t RootLength(std::string_view path) {
    std::size_t length = 0;
    while (length < path.size() && kSeparators.find(path[length]) != std::string_view::npos)
        ++length;
    return length;
}
} // namespace

StartupPaths StartupPaths::Defaults(DataRootSource source, const std::string& folder,
                                    const std::string& moduleDirectory) {
    StartupPaths paths;
    switch (source) {
    case DataRootSource::Folder:
        paths.DataRoot = WithSeparator(folder);
        paths.DataDirectory = paths.DataRoot + "Zentrik/";
        break;
    case DataRootSource::ProgramDirectory:
        paths.DataRoot = moduleDirectory;
        paths.DataDirectory = moduleDirectory;
        break;
    case DataRootSource::ProgramOnly:
        paths.DataRoot = moduleDirectory;
        paths.ConfigDirectory = moduleDirectory + "cfg/";
        paths.IniPath = moduleDirectory + "Kavlink.ini";
        return paths;
    }
    paths.ConfigDirectory = paths.DataDirectory + "cfg/";
    MakeDirectories(paths.ConfigDirectory);
    paths.IniPath = paths.ConfigDirectory + "Kavlink.ini";
    return paths;
}

void StartupPaths::ApplyAlternateAppData(const std::string& directory) {
    DataDirectory = WithSeparator(ContainsSeparator(directory) ? directory : DataRoot + directory);
    ConfigDirectory = DataDirectory + "cfg/";
    MakeDirectories(ConfigDirectory);
    IniPath = ConfigDirectory + "Kavlink.ini";
}

void StartupPaths::ApplyAlternateIni(const std::string& file) {
    IniPath = ContainsSeparator(file) ? file : ConfigDirectory + file;
}

std::string ConfigurationFolder() {
    return LocalPath(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

std::string ProgramDirectory() {
    return WithSeparator(LocalPath(QCoreApplication::applicationDirPath()));
}

bool ContainsSeparator(std::string_view path) {
    return path.find_first_of(kSeparators) != std::string_view::npos;
}

void MakeDirectories(const std::string& path) {
    std::size_t separator = path.find_first_of(kSeparators, RootLength(path));
    for (; separator != std::string::npos;
         separator = path.find_first_of(kSeparators, separator + 1)) {
        const QString directory = FileName(path.substr(0, separator));
        if (!QFileInfo::exists(directory))
            QDir().mkdir(directory);
    }
}
