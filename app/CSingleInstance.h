#pragma once

#include <QLockFile>
#include <QString>

// The lock that keeps a second Kavlink from starting. It is held for the life of the
// object; a lock left behind by a crashed process is taken over.
class CSingleInstance {
public:
    enum class Result {
        Acquired,
        AlreadyRunning,
        // The lock file cannot be made (no writable directory): run without the check.
        Unavailable,
    };

    explicit CSingleInstance(const QString& directory = DefaultDirectory());
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    Result Acquire();

    // The directory of the lock, where the running one can be reached too.
    QString Directory() const { return m_directory; }
    QString LockPath() const;
    // The process that holds the lock, 0 when unknown.
    qint64 HolderProcess() const;

    // The user's runtime directory, else the temporary directory.
    static QString DefaultDirectory();

private:
    QString m_directory;
    QLockFile m_lock;
};
