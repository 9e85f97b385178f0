#pragma once

#include "CSignalPipe.h"

#include <QObject>

// Turns SIGTERM, SIGINT, SIGHUP and SIGUSR1 into Qt signals on the event loop's thread, all
// through one signal pipe, so the whole group costs two descriptors. One instance per process.
class CSignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit CSignalWatcher(QObject* parent = nullptr);

    // False when the pipe or the handlers could not be set up.
    bool IsValid() const { return m_pipe.Installed(); }

signals:
    void terminateRequested();
    void reloadRequested();
    void statusRequested();

private:
    void OnSignal(int signalNumber);

    CSignalPipe m_pipe;
};
