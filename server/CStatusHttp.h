#pragma once

#include "ServerSnapshot.h"

#include <QBasicTimer>
#include <QByteArray>
#include <QHostAddress>
#include <QHttpServerResponder>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <vector>

class QHttpServer;
class QTcpServer;
class QTcpSocket;

// The status page, the JSON status and the metrics on a port of their own, served by Qt's
// HTTP server. It cannot hurt the relay: a few connections at a time, a bound on each request's
// size and time, junk closed at once, and each answer made at most once a second from a
// snapshot of counters the server keeps anyway. Bytes are judged before Qt's parser sees them:
// only whole GET requests without a body or an upgrade, one at a time, reach it. Connections
// that only hold a place give it up to a newcomer, so a request always finds room.
class CStatusHttp : public QObject {
    Q_OBJECT

public:
    struct Settings {
        QHostAddress address = QHostAddress::LocalHost;
        quint16 port = 0;
        int maxConnections = 16;           // then a newcomer closes the oldest idle one
        qint64 maxRequestBytes = 8 * 1024; // a request line and headers; past it closed
        qint64 requestTimeoutMs = 10000;   // from a request's first byte (or last answer) on
        qint64 idleMs = 10000;             // a connection without a request in progress
        qint64 reuseMs = 1000;             // an answer is made afresh at most this often
        int maxRows = 500;                 // connections and addresses on the page and in the JSON
    };
    // Asks for the server's state with at most maxRows connections and addresses (0: none);
    // the state comes later through Deliver, on this object's thread.
    using SnapshotRequest = std::function<void(int maxRows)>;
    using NowMs = std::function<qint64()>;

    CStatusHttp(Settings settings, SnapshotRequest request, NowMs now, QObject* parent = nullptr);
    ~CStatusHttp() override;

    bool Listen(QString* error);
    quint16 Port() const;
    // The state asked for; answers the requests that waited for it.
    void Deliver(int maxRows, ServerSnapshot snapshot);
    // Closes connections idle or late; accepts again after an error.
    void Tick(qint64 now);
    int ConnectionCount() const { return static_cast<int>(m_peers.size()); }
    // Newcomers closed at once: every place was taken by a request in progress.
    std::uint64_t Refused() const { return m_refused; }
    // Requests waiting for the server's state.
    int WaitingCount() const { return static_cast<int>(m_waiting.size()); }
    // Connections without a request in progress.
    int IdleCount() const;
    // Idle connections closed to make room for a newcomer.
    std::uint64_t Evicted() const { return m_evicted; }

signals:
    void logLine(const QString& text);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    enum class Kind { Page, Json, Metrics, NotFound };
    struct Peer {
        QPointer<QTcpSocket> socket;
        qint64 since;    // idle since, or the request's start or last progress
        QByteArray head; // of the request coming in
        qsizetype lineStart = 0;
        bool requestLineDone = false;
        bool asking = false;  // a request was handed on and not yet answered
        bool closing = false; // refused: its answer goes out, then it is closed
    };
    struct Waiting {
        QPointer<QTcpSocket> socket;
        QHttpServerResponder responder;
        Kind kind;
    };
    struct State {
        ServerSnapshot snapshot;
        qint64 arrivedAt = -1;
        bool asked = false;
    };
    struct Answer {
        qint64 madeFrom = -1; // the arrival of the state it was made from
        QByteArray body;
    };
    void Incoming(qintptr fd);
    bool MakeRoom();
    void Arrived(QTcpSocket* socket);
    bool Judge(Peer& peer);
    void Refuse(Peer& peer, const QByteArray& answer);
    void Drop(QTcpSocket* socket);
    void Written(QTcpSocket* socket);
    void Requested(Kind kind, QHttpServerResponder&& responder);
    bool Ready(Kind kind, qint64 now) const;
    void Ask(Kind kind);
    void Drain();
    void Respond(QTcpSocket* socket, QHttpServerResponder& responder, Kind kind);
    Peer* Find(const QObject* socket);
    bool Idle(const Peer& peer) const;
    void Forget();
    void AcceptFailed();
    void UpdateTimer();
    const State& StateFor(Kind kind) const;
    const QByteArray& Body(Kind kind);

    Settings m_settings;
    SnapshotRequest m_request;
    NowMs m_now;
    QHttpServer* m_http;
    QTcpServer* m_listener = nullptr;
    std::vector<Peer> m_peers;
    std::list<Waiting> m_waiting;  // in the order the requests came
    std::array<State, 2> m_states; // without rows (the metrics), with rows
    std::array<Answer, 3> m_answers;
    std::uint64_t m_refused = 0;
    std::uint64_t m_evicted = 0;
    qint64 m_resumeAt = -1; // accepting again then, after an accept error
    bool m_acceptFailing = false;
    QBasicTimer m_timer;
};

// The status port on a thread of its own, so that no peer of it can hold up the relay. The
// server's state is taken on the thread that made this object, when the port asks for it.
class CStatusPort : public QObject {
    Q_OBJECT

public:
    // Called on the thread that made this object.
    using SnapshotSource = std::function<ServerSnapshot(int maxRows)>;

    CStatusPort(CStatusHttp::Settings settings, SnapshotSource source, QObject* parent = nullptr);
    // Stops the port's thread and waits for it.
    ~CStatusPort() override;

    // Listens, then serves on the port's thread.
    bool Start(QString* error);
    quint16 Port() const { return m_port; }

signals:
    void logLine(const QString& text);

private:
    void Serve(int maxRows);

    CStatusHttp::Settings m_settings;
    SnapshotSource m_source;
    QThread m_thread;
    CStatusHttp* m_http = nullptr;
    quint16 m_port = 0;
};
