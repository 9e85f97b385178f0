#include "RegularFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString ErrnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}
} // namespace

QByteArray ReadRegularFile(const QString& path, const QString& what, qint64 maxBytes,
                           QString& error, QString* readable) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = QStringLiteral("cannot read %1 %2: %3").arg(what, path, ErrnoText());
        return {};
    }
    QByteArray content;
    struct stat st = {};
    if (::fstat(fd, &st) != 0) {
        error = QStringLiteral("cannot read %1 %2: %3").arg(what, path, ErrnoText());
    } else if (!S_ISREG(st.st_mode)) {
        error = QStringLiteral("%1 %2 is not a regular file").arg(what, path);
    } else if ((st.st_mode & S_IWOTH) != 0) {
        error = QStringLiteral("%1 %2 may be written by anyone: chmod o-w it").arg(what, path);
    } else {
        if (readable && (st.st_mode & S_IROTH) != 0)
            *readable = QStringLiteral("%1 %2 may be read by anyone: chmod o-r it").arg(what, path);
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = QStringLiteral("cannot read %1 %2: %3").arg(what, path, ErrnoText());
                break;
            }
            if (n == 0)
                break;
            content.append(buffer, n);
            if (content.size() > maxBytes) {
                error =
                    QStringLiteral("%1 %2 is larger than %3 bytes").arg(what, path).arg(maxBytes);
                break;
            }
        }
    }
    ::close(fd);
    return error.isEmpty() ? content : QByteArray();
}
