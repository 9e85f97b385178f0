#include "CUserTable.h"

#include "RegularFile.h"

#include <crypt.h>

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
QByteArray Crypt(const QByteArray& password, const QByteArray& hash) {
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_rn(password.constData(), hash.constData(), data.get(), sizeof *data);
    if (out == nullptr || out[0] == '*')
        return {};
    return QByteArray(out);
}
} // namespace

bool CUserTable::IsHash(const QByteArray& password) {
    for (const char* id : {"$y$", "$gy$", "$7$", "$6$", "$5$", "$2b$"}) {
        if (password.startsWith(id))
            return true;
    }
    return false;
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
    QByteArray dummyHash;
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
        else if (IsHash(password) && Crypt("x", password).isEmpty())
            problem = QStringLiteral("password hash not understood");
        if (!problem.isEmpty()) {
            if (error)
                *error = QStringLiteral("line %1: %2").arg(i + 1).arg(problem);
            return false;
        }
        if (IsHash(password) && dummyHash.isEmpty())
            dummyHash = password;
        users.insert(line.left(colon), password);
    }
    m_users = std::move(users);
    m_dummyHash = std::move(dummyHash);
    return true;
}

bool CUserTable::Check(const QByteArray& login, const QByteArray& password) const {
    const auto it = m_users.constFind(login);
    const bool known = it != m_users.cend();
    // Compare against something even for an unknown login, so timing tells nothing.
    const QByteArray expected = known ? it.value() : m_dummyHash;
    if (IsHash(expected)) {
        // crypt stops at a NUL: such a password would match its prefix.
        const QByteArray hashed =
            password.contains('\0') ? QByteArray() : Crypt(password, expected);
        return known && !hashed.isEmpty() && SameSecret(expected, hashed);
    }
    const bool same = SameSecret(expected, password);
    return known && same;
}

bool CUserTable::SameEntry(const CUserTable& other, const QByteArray& login) const {
    const auto mine = m_users.constFind(login);
    const auto theirs = other.m_users.constFind(login);
    return mine != m_users.cend() && theirs != other.m_users.cend() && *mine == *theirs;
}
