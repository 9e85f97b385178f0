#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The logins the server accepts, read from a file of "login:password" lines. Lines whose
// first non-blank byte is '#' and blank lines are skipped; a CR before the LF is ignored.
// The password is everything after the first colon, blanks included.
class CUserTable {
public:
    // Replaces the table by the file's; on any error the table is left as it was and error
    // says why.
    bool LoadFile(const QString& path, QString* error);
    bool Parse(const QByteArray& content, QString* error);

    bool Check(const QByteArray& login, const QByteArray& password) const;
    qsizetype Size() const { return m_users.size(); }

    // A users file is small; a bigger one is a mistake (or /dev/zero).
    static constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

private:
    QHash<QByteArray, QByteArray> m_users;
};
