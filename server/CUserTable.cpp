#include "CUserTable.h"

#include <QFile>

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
} // namespace

bool CUserTable::LoadFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read users file %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray content = file.read(kMaxFileBytes + 1);
    if (content.size() > kMaxFileBytes) {
        if (error)
            *error = QStringLiteral("users file %1 is larger than %2 bytes")
                         .arg(path)
                         .arg(kMaxFileBytes);
        return false;
    }
    QString why;
    if (!Parse(content, &why)) {
        if (error)
            *error = QStringLiteral("users file %1: %2").arg(path, why);
        return false;
    }
    return true;
}

bool CUserTable::Parse(const QByteArray& content, QString* error) {
    QHash<QByteArray, QByteArray> users;
    const QList<QByteArray> lines = content.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (IsBlank(line) || IsComment(line))
            continue;
        const qsizetype colon = line.indexOf(':');
        QString problem;
        if (colon < 0)
            problem = QStringLiteral("expected login:password");
        else if (colon == 0)
            problem = QStringLiteral("empty login");
        else if (users.contains(line.left(colon)))
            problem = QStringLiteral("login given twice");
        if (!problem.isEmpty()) {
            if (error)
                *error = QStringLiteral("line %1: %2").arg(i + 1).arg(problem);
            return false;
        }
        users.insert(line.left(colon), line.mid(colon + 1));
    }
    m_users = std::move(users);
    return true;
}

bool CUserTable::Check(const QByteArray& login, const QByteArray& password) const {
    const auto it = m_users.constFind(login);
    // Compare against something even for an unknown login, so timing tells nothing.
    const QByteArray expected = it == m_users.cend() ? QByteArray() : it.value();
    const bool same = SameSecret(expected, password);
    return it != m_users.cend() && same;
}
