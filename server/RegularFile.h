#pragma once

#include <QByteArray>
#include <QString>

// Reads a whole file the server was told to trust (users, certificate, key): only a regular
// file, never waiting on a writer (a FIFO or a device is refused at once), at most maxBytes,
// and not one that others may write. `what` names the file in the messages ("users file").
// On failure returns empty with error set. With `readable` given, a file that others may read
// is read all the same, with a warning there.
QByteArray ReadRegularFile(const QString& path, const QString& what, qint64 maxBytes,
                           QString& error, QString* readable = nullptr);
