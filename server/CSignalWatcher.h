#pragma once

#include <QObject>

#include <memory>

class CSignalPipe;

// Turns SIGTERM and SIGINT (stop), SIGHUP (re-read the users file) and SIGUSR1 (write the
// status) into Qt signals on the event loop's thread. One instance per process.
class CSignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit CSignalWatcher(QObject* parent = nullptr);
    ~CSignalWatcher() override;

    // False when the pipes or the handlers could not be set up.
    bool IsValid() const;

signals:
    void terminateRequested();
    void reloadRequested();
    void statusRequested();

private:
    std::unique_ptr<CSignalPipe> m_terminate;
    std::unique_ptr<CSignalPipe> m_reload;
    std::unique_ptr<CSignalPipe> m_status;
};
