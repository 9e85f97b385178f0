#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

// A local socket beside the single-instance lock, by which a second start reaches the running
// Kavlink: the running one listens, the second asks it to show itself and hears whether it
// could. Only the lock's holder listens, so a socket file it finds was left by a crashed one.
// Nothing on the channel waits: a caller that never finishes its request is dropped.
class CInstanceChannel : public QObject {
    Q_OBJECT

public:
    enum class Answer {
        Shown,    // the running one brought its window to the front
        Headless, // the running one has no display to show a window on
        NoAnswer, // nobody listens, or did not answer in time
    };
    Q_ENUM(Answer)

    // Called from the event loop for each request; true when a window was shown.
    using ShowRequest = std::function<bool()>;

    explicit CInstanceChannel(QString socketPath, QObject* parent = nullptr);
    ~CInstanceChannel() override;

    // For the holder of the single-instance lock only.
    bool Listen(ShowRequest onShow);

    // A second start's request; waits at most timeoutMs, in a loop of its own, and tries again
    // meanwhile while nobody listens yet (the running one may be starting).
    static Answer AskToShow(const QString& socketPath, int timeoutMs = kAnswerMs);

    static constexpr int kAnswerMs = 3000;
    // A request longer than a line of this length is no request of ours.
    static constexpr int kLongestLine = 64;

    // The socket's place beside the lock in directory.
    static QString SocketPath(const QString& directory);

private:
    void OnConnection();

    QString m_path;
    QLocalServer m_server;
    ShowRequest m_onShow;
};
