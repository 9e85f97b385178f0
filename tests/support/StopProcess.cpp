#include "StopProcess.h"

#include <QProcess>
#include <QtGlobal>

namespace {
constexpr int kStopMs = 15000;
} // namespace

bool StopProcess(QProcess& process, const char* name) {
    if (process.state() == QProcess::NotRunning)
        return false;
    process.terminate(); // SIGTERM
    if (!process.waitForFinished(kStopMs)) {
        process.kill();
        process.waitForFinished(kStopMs);
        qWarning("%s did not end on SIGTERM", name);
        return false;
    }
    const bool clean = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!clean)
        qWarning("%s ended with status %d:\n%s", name, process.exitCode(),
                 process.readAll().constData());
    return clean;
}
