#include "CUserTable.h"

#include "RegularFile.h"

#include <QRegularExpression>

#include <crypt.h>

#include <array>
#include <cstring>
#include <memory>

namespace {
bool IsBlank(const QByteArray& line) {
    for (const char c : line) {
        if (c != ' ' && c != '\t')
            return false;
    }
    return true;
}

bool IsComment(const QByteArray& line) {
    for (const char c : line) {
        if (c == '#')
            return true;
        if (c != ' ' && c != '\t')
            return false;
    }
    return false;
}

// Same length and bytes, in a time that does not depend on where they first differ.
bool SameSecret(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// The hash of password with the method and salt of hash; empty when crypt refuses them.
// Reentrant: its state is its own, and wiped after, as it holds what the password gave.
QByteArray Crypt(const QByteArray& password, const QByteArray& hash) {
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_rn(password.constData(), hash.constData(), data.get(), sizeof *data);
    QByteArray hashed = out == nullptr || out[0] == '*' ? QByteArray() : QByteArray(out);
    explicit_bzero(data.get(), sizeof *data);
    return hashed;
}

struct HashForm {
    const char* prefix;
    const char* pattern; // as crypt(5) gives each method's hashed passphrase
};
constexpr std::array<HashForm, 6> kHashForms = {{
    {"$y$", R"(\$y\$[./A-Za-z0-9]+\$[./A-Za-z0-9]{0,86}\$[./A-Za-z0-9]{43})"},
    {"$gy$", R"(\$gy\$[./A-Za-z0-9]+\$[./A-Za-z0-9]{0,86}\$[./A-Za-z0-9]{43})"},
    {"$7$", R"(\$7\$[./A-Za-z0-9]{11,97}\$[./A-Za-z0-9]{43})"},
    {"$6$", R"(\$6\$(rounds=[1-9][0-9]{3,8}\$)?[^$:\n]{1,16}\$[./A-Za-z0-9]{86})"},
    {"$5$", R"(\$5\$(rounds=[1-9][0-9]{3,8}\$)?[^$:\n]{1,16}\$[./A-Za-z0-9]{43})"},
    {"$2b$", R"(\$2b\$(0[4-9]|[12][0-9]|3[01])\$[./A-Za-z0-9]{53})"},
}};
} // namespace

bool CUserTable::IsHash(const QByteArray& password) {
    for (const HashForm& form : kHashForms) {
        if (password.startsWith(form.prefix))
            return true;
    }
    return false;
}

bool CUserTable::IsWellFormedHash(const QByteArray& hash) {
#ifdef CRYPT_CHECKSALT_AVAILABLE
    // A method this libcrypt lacks or was built without; a legacy one still checks.
    const int verdict = crypt_checksalt(hash.constData());
    if (verdict != CRYPT_SALT_OK && verdict != CRYPT_SALT_METHOD_LEGACY)
        return false;
#endif
    for (const HashForm& form : kHashForms) {
        if (hash.startsWith(form.prefix)) {
            const QRegularExpression pattern(
                QRegularExpression::anchoredPattern(QLatin1String(form.pattern)));
            return pattern.match(QString::fromLatin1(hash)).hasMatch();
        }
    }
    return false;
}

bool PasswordMatches(const QByteArray& expected, const QByteArray& password) {
    if (!CUserTable::IsHash(expected))
        return SameSecret(expected, password);
    // crypt stops at a NUL: such a password would match its prefix.
    if (password.contains('\0'))
        return false;
    const QByteArray hashed = Crypt(password, expected);
    return !hashed.isEmpty() && SameSecret(expected, hashed);
}

bool CUserTable::LoadFile(const QString& path, QString* error, QString* warning) {
    QString why;
    QString caution;
    const QByteArray content =
        ReadRegularFile(path, QStringLiteral("users file"), kMaxFileBytes, why, &caution);
    if (why.isEmpty() && !Parse(content, &why))
        why = QStringLiteral("users file %1: %2").arg(path, why);
    if (!why.isEmpty()) {
        if (error)
            *error = why;
        return false;
    }
    if (warning)
        *warning = caution;
    return true;
}

bool CUserTable::Parse(const QByteArray& content, QString* error) {
    QHash<QByteArray, QByteArray> users;
    qsizetype hashes = 0;
    const QList<QByteArray> lines = content.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (IsBlank(line) || IsComment(line))
            continue;
        const qsizetype colon = line.indexOf(':');
        const QByteArray password = colon < 0 ? QByteArray() : line.mid(colon + 1);
        QString problem;
        if (colon < 0)
            problem = QStringLiteral("expected login:password");
        else if (colon == 0)
            problem = QStringLiteral("empty login");
        else if (password.isEmpty())
            problem = QStringLiteral("empty password");
        else if (users.contains(line.left(colon)))
            problem = QStringLiteral("login given twice");
        else if (IsHash(password) && !IsWellFormedHash(password))
            problem = QStringLiteral("password hash not understood");
        if (!problem.isEmpty()) {
            if (error)
                *error = QStringLiteral("line %1: %2").arg(i + 1).arg(problem);
            return false;
        }
        if (IsHash(password))
            ++hashes;
        users.insert(line.left(colon), password);
    }
    m_users = std::move(users);
    m_hashes = hashes;
    return true;
}

bool CUserTable::Check(const QByteArray& login, const QByteArray& password) const {
    const QByteArray* expected = Find(login);
    return expected != nullptr && PasswordMatches(*expected, password);
}

const QByteArray* CUserTable::Find(const QByteArray& login) const {
    const auto it = m_users.constFind(login);
    return it == m_users.cend() ? nullptr : &it.value();
}

bool CUserTable::SameEntry(const CUserTable& other, const QByteArray& login) const {
    const auto mine = m_users.constFind(login);
    const auto theirs = other.m_users.constFind(login);
    return mine != m_users.cend() && theirs != other.m_users.cend() && *mine == *theirs;
}
