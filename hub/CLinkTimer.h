#pragma once

#include <QObject>
#include <QTimer>

// One of the tunnel's repeating timers. In manual mode it never ticks by itself: tests tick
// it by hand and read back whether it runs and with which period.
class CLinkTimer : public QObject {
    Q_OBJECT

public:
    explicit CLinkTimer(QObject* parent = nullptr);

    void SetManual(bool manual);
    // Restarts the period from now.
    void Start(int milliseconds);
    void Stop();
    bool IsRunning() const { return m_running; }
    // The period it was last started with.
    int PeriodMs() const { return m_periodMs; }

signals:
    void timeout();

private:
    QTimer m_timer;
    bool m_manual = false;
    bool m_running = false;
    int m_periodMs = 0;
};
