#include "CIniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Far beyond any real ini file; keeps a path such as /dev/zero from eating memory.
constexpr qint64 kMaxFileSize = qint64{16} * 1024 * 1024;
constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// A new file gets the platform's line ends; an existing one keeps its own.
constexpr std::string_view kPlatformEol = "\n";

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

std::function<bool(CIniFile::Step)>& StepHook() {
    static std::function<bool(CIniFile::Step)> hook;
    return hook;
}

bool StepAllowed(CIniFile::Step step) {
    return !StepHook() || StepHook()(step);
}

QString Resolved(const QString& name) {
    const QFileInfo info(name);
    // A link to the settings stays a link: the file it names is replaced.
    return info.isSymLink() ? info.symLinkTarget() : name;
}

bool IsOurTemporary(const QString& entry, const QString& prefix) {
    if (entry.size() != prefix.size() + 6 || !entry.startsWith(prefix))
        return false;
    for (qsizetype i = prefix.size(); i < entry.size(); ++i) {
        const QChar c = entry[i];
        if (!(c.isDigit() || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    }
    return true;
}

// A writer holds a lock on its temporary file for as long as it exists; one that nobody locks
// was left by a crash and may hold a password.
void RemoveStaleTemporaries(const QString& target) {
    const QFileInfo info(target);
    const QDir dir = info.absoluteDir();
    const QString prefix = info.fileName() + '.';
    for (const QString& entry : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!IsOurTemporary(entry, prefix))
            continue;
        const QByteArray path = QFile::encodeName(dir.filePath(entry));
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.constData());
        ::close(fd);
    }
}

// A locked temporary file, readable by its owner only whatever the final mode.
int CreateTemporary(const QString& target, QByteArray& path) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        path = QFile::encodeName(target) + ".XXXXXX";
        const int fd = ::mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0)
            return -1;
        struct stat st {};
        // Another writer may have taken it for stale before we locked it.
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &st) == 0 && st.st_nlink > 0)
            return fd;
        ::close(fd);
    }
    return -1;
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return ::fsync(fd) == 0;
}

void SyncDirectory(const QString& target) {
    const QByteArray dir = QFile::encodeName(QFileInfo(target).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool Save(const std::string& path, const Document& doc) {
    const QString target = Resolved(FileName(path));
    const QByteArray targetBytes = QFile::encodeName(target);
    struct stat old {};
    const bool existed = ::stat(targetBytes.constData(), &old) == 0;
    RemoveStaleTemporaries(target);
    QByteArray temporary;
    const int fd = CreateTemporary(target, temporary);
    if (fd < 0)
        return false;
    bool saved = WriteAll(fd, Serialize(doc));
    if (saved && !StepAllowed(CIniFile::Step::Replace)) {
        // Left behind as a crash would leave it.
        ::close(fd);
        return false;
    }
    saved = saved && ::rename(temporary.constData(), targetBytes.constData()) == 0;
    if (!saved) {
        ::unlink(temporary.constData());
        ::close(fd);
        return false;
    }
    // Only after the rename: a crash before it must not leave a readable copy.
    const mode_t mode = old.st_mode & 07777;
    if (existed && mode != (S_IRUSR | S_IWUSR))
        ::fchmod(fd, mode);
    ::close(fd);
    SyncDirectory(target);
    return true;
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

bool ValidChange(std::string_view section, const std::optional<std::string>& key,
                 std::string_view value) {
    // Nothing may start a new line, a section or a comment where it does not belong.
    constexpr std::string_view lineBreaks("\r\n\0", 3);
    if (section.empty() || HasAny(section, lineBreaks) || HasAny(section, "]"))
        return false;
    if (key && (key->empty() || HasAny(*key, lineBreaks) || HasAny(*key, "=") ||
                HasAny(std::string_view(*key).substr(0, 1), ";#[")))
        return false;
    return !HasAny(value, lineBreaks);
}

// Returns whether any line changed.
bool Apply(Document& doc, std::string_view section, const std::optional<std::string>& key,
           std::string_view value) {
    if (!key)
        return RemoveSections(doc, section);
    const Place place = Find(doc, section, *key);
    if (place.keyLine) {
        std::string& line = doc.lines[*place.keyLine];
        const std::string updated = std::string(KeyLine(line)->key) + "=" + Quoted(value);
        if (updated == line)
            return false;
        line = updated;
    } else if (place.insertAfter) {
        const auto at = doc.lines.begin() + static_cast<std::ptrdiff_t>(*place.insertAfter + 1);
        doc.lines.insert(at, *key + "=" + Quoted(value));
    } else {
        if (!doc.lines.empty() && !Trim(doc.lines.back()).empty())
            doc.lines.emplace_back();
        doc.lines.push_back("[" + std::string(section) + "]");
        doc.lines.push_back(*key + "=" + Quoted(value));
        doc.finalEol = true;
    }
    return true;
}
} // namespace

void CIniBatch::Write(std::string_view section, const char* key, std::string_view value) {
    Change change{std::string(Trim(section)), std::nullopt, std::string(value)};
    if (key != nullptr)
        change.key = std::string(Trim(key));
    m_changes.push_back(std::move(change));
}

CIniFile::CIniFile(std::string path) : m_path(std::move(path)) {}

void CIniFile::SetStepHook(std::function<bool(Step)> hook) {
    StepHook() = std::move(hook);
}

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
    CIniBatch batch;
    batch.Write(section, key, value);
    return Write(batch);
}

bool CIniFile::Write(const CIniBatch& batch) const {
    for (const CIniBatch::Change& change : batch.m_changes) {
        if (!ValidChange(change.section, change.key, change.value))
            return false;
    }
    Document doc;
    if (Load(m_path, doc) == LoadResult::Unreadable)
        return false;
    bool changed = false;
    for (const CIniBatch::Change& change : batch.m_changes) {
        if (!StepAllowed(Step::Change))
            return false;
        changed = Apply(doc, change.section, change.key, change.value) || changed;
    }
    return !changed || Save(m_path, doc);
}
