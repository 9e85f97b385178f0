#include "CSingleInstance.h"

#include <QDir>
#include <QStandardPaths>

namespace {
QString LockIn(const QString& directory) {
    return QDir(directory).filePath(QStringLiteral("Kavlink.lock"));
}
} // namespace

CSingleInstance::CSingleInstance(const QString& directory)
    : m_directory(directory), m_lock(LockIn(directory)) {
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

QString CSingleInstance::LockPath() const {
    return LockIn(m_directory);
}

qint64 CSingleInstance::HolderProcess() const {
    qint64 pid = 0;
    QString host;
    QString application;
    return m_lock.getLockInfo(&pid, &host, &application) ? pid : 0;
}

QString CSingleInstance::DefaultDirectory() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}
