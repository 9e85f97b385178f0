#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT, SIGHUP and SIGUSR1 into Qt signals on the event loop's thread, through a
// socket pair that the signal handler writes to. One instance per process.
class CSignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit CSignalWatcher(QObject* parent = nullptr);
    ~CSignalWatcher() override;

    // False when the socket pair or the handlers could not be set up.
    bool IsValid() const { return m_notifier != nullptr; }

signals:
    void terminateRequested();
    void reloadRequested();
    void statusRequested();

private:
    void OnSignalByte();

    QSocketNotifier* m_notifier = nullptr;
    bool m_ownsPair = false;
};
