#include "CIniFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <optional>
#include <vector>

namespace {
// Far beyond any real ini file; keeps a path such as /dev/zero from eating memory.
constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;
constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
#ifdef _WIN32
constexpr std::string_view kPlatformEol = "\r\n";
#else
constexpr std::string_view kPlatformEol = "\n";
#endif

struct Document {
    std::string bom;
    std::vector<std::string> lines; // without their line ends
    std::string eol{kPlatformEol};
    bool finalEol = true;
};

struct KeyValue {
    std::string_view key;
    std::string_view value;
};

// Where a key is, and where a new key of the section would go.
struct Place {
    std::optional<std::size_t> keyLine;
    std::optional<std::size_t> insertAfter;
};

enum class LoadResult { Loaded, Missing, Unreadable };

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    line.remove_prefix(1);
    return Trim(line.substr(0, line.find(']')));
}

std::optional<KeyValue> KeyLine(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#')
        return std::nullopt;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty())
        return std::nullopt;
    return KeyValue{key, Trim(line.substr(equals + 1))};
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return value.substr(1, value.size() - 2);
    return value;
}

// A value that reading would change (outer blanks, outer quotes) is written quoted, so that
// it reads back as it was given.
std::string Quoted(std::string_view value) {
    const bool outerBlank =
        !value.empty() && (kBlanks.find(value.front()) != std::string_view::npos ||
                           kBlanks.find(value.back()) != std::string_view::npos);
    if (outerBlank || Unquote(value).size() != value.size())
        return "\"" + std::string(value) + "\"";
    return std::string(value);
}

bool HasAny(std::string_view text, std::string_view bytes) {
    return text.find_first_of(bytes) != std::string_view::npos;
}

Document Parse(std::string_view bytes) {
    Document doc;
    if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        doc.bom = kUtf8Bom;
        bytes.remove_prefix(kUtf8Bom.size());
    }
    const std::size_t firstLf = bytes.find('\n');
    if (firstLf != std::string_view::npos)
        doc.eol = (firstLf > 0 && bytes[firstLf - 1] == '\r') ? "\r\n" : "\n";
    doc.finalEol = bytes.empty() || bytes.back() == '\n';
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        doc.lines.emplace_back(line);
        start = end + 1;
    }
    return doc;
}

std::string Serialize(const Document& doc) {
    std::string bytes = doc.bom;
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        if (i > 0)
            bytes += doc.eol;
        bytes += doc.lines[i];
    }
    if (doc.finalEol && !doc.lines.empty())
        bytes += doc.eol;
    return bytes;
}

QString FileName(const std::string& path) {
    return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

LoadResult Load(const std::string& path, Document& doc) {
    const QString name = FileName(path);
    const QFileInfo info(name);
    if (!info.exists())
        return LoadResult::Missing;
    if (!info.isFile())
        return LoadResult::Unreadable;
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return LoadResult::Unreadable;
    const QByteArray bytes = file.read(kMaxFileSize + 1);
    if (bytes.size() > kMaxFileSize || file.error() != QFileDevice::NoError)
        return LoadResult::Unreadable;
    doc = Parse(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    return LoadResult::Loaded;
}

bool Save(const std::string& path, const Document& doc, bool newFile) {
    QSaveFile file(FileName(path));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (newFile && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file.cancelWriting();
        return false;
    }
    const std::string bytes = Serialize(doc);
    if (file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
        static_cast<qint64>(bytes.size())) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

Place Find(const Document& doc, std::string_view section, std::string_view key) {
    Place place;
    bool inSection = false;
    bool inFirstSection = false;
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        if (const auto name = SectionName(doc.lines[i])) {
            inSection = SameName(*name, section);
            inFirstSection = inSection && !place.insertAfter;
            if (inFirstSection)
                place.insertAfter = i;
            continue;
        }
        const auto entry = inSection ? KeyLine(doc.lines[i]) : std::nullopt;
        if (!entry)
            continue;
        if (inFirstSection)
            place.insertAfter = i;
        if (!place.keyLine && SameName(entry->key, key))
            place.keyLine = i;
    }
    return place;
}

// Returns whether any line was removed.
bool RemoveSections(Document& doc, std::string_view section) {
    std::vector<std::string> kept;
    bool inSection = false;
    for (std::string& line : doc.lines) {
        if (const auto name = SectionName(line))
            inSection = SameName(*name, section);
        if (!inSection)
            kept.push_back(std::move(line));
    }
    const bool removed = kept.size() != doc.lines.size();
    doc.lines = std::move(kept);
    return removed;
}
} // namespace

CIniFile::CIniFile(std::string path) : m_path(std::move(path)) {}

bool CIniFile::Read(std::string_view section, std::string_view key, std::string& value) const {
    Document doc;
    if (Load(m_path, doc) != LoadResult::Loaded)
        return false;
    const Place place = Find(doc, Trim(section), Trim(key));
    if (!place.keyLine)
        return false;
    value = Unquote(KeyLine(doc.lines[*place.keyLine])->value);
    return true;
}

bool CIniFile::Write(std::string_view section, const char* key, std::string_view value) const {
    section = Trim(section);
    const std::string_view keyName = key != nullptr ? Trim(key) : std::string_view();
    // Nothing may start a new line, a section or a comment where it does not belong.
    constexpr std::string_view lineBreaks("\r\n\0", 3);
    if (section.empty() || HasAny(section, lineBreaks) || HasAny(section, "]"))
        return false;
    if (key != nullptr && (keyName.empty() || HasAny(keyName, lineBreaks) || HasAny(keyName, "=") ||
                           HasAny(keyName.substr(0, 1), ";#[")))
        return false;
    if (HasAny(value, lineBreaks))
        return false;

    Document doc;
    const LoadResult loaded = Load(m_path, doc);
    if (loaded == LoadResult::Unreadable)
        return false;
    const bool newFile = loaded == LoadResult::Missing;

    if (key == nullptr)
        return !RemoveSections(doc, section) || Save(m_path, doc, newFile);

    const Place place = Find(doc, section, keyName);
    if (place.keyLine) {
        std::string& line = doc.lines[*place.keyLine];
        const std::string updated = std::string(KeyLine(line)->key) + "=" + Quoted(value);
        if (updated == line)
            return true;
        line = updated;
    } else if (place.insertAfter) {
        const auto at = doc.lines.begin() + static_cast<std::ptrdiff_t>(*place.insertAfter + 1);
        doc.lines.insert(at, std::string(keyName) + "=" + Quoted(value));
    } else {
        if (!doc.lines.empty() && !Trim(doc.lines.back()).empty())
            doc.lines.emplace_back();
        doc.lines.push_back("[" + std::string(section) + "]");
        doc.lines.push_back(std::string(keyName) + "=" + Quoted(value));
        doc.finalEol = true;
    }
    return Save(m_path, doc, newFile);
}
