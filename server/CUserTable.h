#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The logins the server accepts, read from a file of "login:password" lines. Lines whose
// first non-blank byte is '#' and blank lines are skipped; a CR before the LF is ignored.
// The password is everything after the first colon, blanks included, and never empty. A
// password written as a crypt(3) hash ("$y$...", "$6$...", "$5$...", "$2b$...") is checked
// against the hash. Reading the file never hashes: a hash is checked for its form only.
class CUserTable {
public:
    // Replaces the table by the file's; on any error the table is left as it was and error
    // says why. Only a regular file is read (a FIFO or a device would block or never end),
    // and not one that others may write; one that others may read gets a warning.
    bool LoadFile(const QString& path, QString* error, QString* warning = nullptr);
    bool Parse(const QByteArray& content, QString* error);

    // Hashes on the caller's thread: the server checks through CPasswordChecks instead.
    bool Check(const QByteArray& login, const QByteArray& password) const;
    // The login's password or hash; null for a login not in the table.
    const QByteArray* Find(const QByteArray& login) const;
    // Whether the other table accepts this login with the same password (or hash) as this one.
    bool SameEntry(const CUserTable& other, const QByteArray& login) const;
    qsizetype Size() const { return m_users.size(); }
    bool Has(const QByteArray& login) const { return m_users.contains(login); }

    // A users file is small; a bigger one is a mistake (or /dev/zero).
    static constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

    static bool IsHash(const QByteArray& password);
    // Whether a hash names a method libcrypt has, with its options, salt and hash in the form
    // crypt(5) gives for that method.
    static bool IsWellFormedHash(const QByteArray& hash);
    bool HasHashes() const { return m_hashes > 0; }

private:
    QHash<QByteArray, QByteArray> m_users;
    qsizetype m_hashes = 0;
};

// Whether password is the one expected: the same bytes, or the one whose hash it is (a hash is
// worked out on the calling thread, tens of milliseconds for yescrypt). Thread-safe.
bool PasswordMatches(const QByteArray& expected, const QByteArray& password);
