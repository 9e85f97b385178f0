#include "CSingleInstance.h"

#include <QDir>
#include <QStandardPaths>

CSingleInstance::CSingleInstance(const QString& directory)
    : m_lock(QDir(directory).filePath(QStringLiteral("Kavlink.lock"))) {
    // A live holder keeps its lock however old; only a dead holder's lock is stale.
    m_lock.setStaleLockTime(0);
}

CSingleInstance::Result CSingleInstance::Acquire() {
    if (m_lock.isLocked() || m_lock.tryLock(0))
        return Result::Acquired;
    if (m_lock.error() == QLockFile::LockFailedError)
        return Result::AlreadyRunning;
    return Result::Unavailable;
}

QString CSingleInstance::DefaultDirectory() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}
