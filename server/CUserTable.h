#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The logins the server accepts, read from a file of "login:password" lines. Lines whose
// first non-blank byte is '#' and blank lines are skipped; a CR before the LF is ignored.
// The password is everything after the first colon, blanks included, and never empty. A
// password written as a crypt(3) hash ("$y$...", "$6$...", "$5$...", "$2b$...") is checked
// against the hash.
class CUserTable {
public:
    // Replaces the table by the file's; on any error the table is left as it was and error
    // says why. Only a regular file is read (a FIFO or a device would block or never end),
    // and not one that others may write; one that others may read gets a warning.
    bool LoadFile(const QString& path, QString* error, QString* warning = nullptr);
    bool Parse(const QByteArray& content, QString* error);

    bool Check(const QByteArray& login, const QByteArray& password) const;
    // Whether the other table accepts this login with the same password (or hash) as this one.
    bool SameEntry(const CUserTable& other, const QByteArray& login) const;
    qsizetype Size() const { return m_users.size(); }
    bool Has(const QByteArray& login) const { return m_users.contains(login); }

    // A users file is small; a bigger one is a mistake (or /dev/zero).
    static constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

    static bool IsHash(const QByteArray& password);

private:
    QHash<QByteArray, QByteArray> m_users;
    QByteArray m_dummyHash; // checked for unknown logins when hashes are in use
};
