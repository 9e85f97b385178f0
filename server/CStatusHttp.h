#pragma once

#include "ServerSnapshot.h"

#include <QBasicTimer>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

class QHttpServer;
class QTcpServer;
class QTcpSocket;

// The status page, the JSON status and the metrics on a port of their own, served by Qt's
// HTTP server. It cannot hurt the relay: a few connections at a time, a bound on each request's
// size and time, junk closed at once, and each answer made at most once a second from a
// snapshot of counters the server keeps anyway.
class CStatusHttp : public QObject {
    Q_OBJECT

public:
    struct Settings {
        QHostAddress address = QHostAddress::LocalHost;
        quint16 port = 0;
        int maxConnections = 16;            // more are closed as they come
        qint64 maxRequestBytes = 16 * 1024; // a request that has not ended by then is closed
        qint64 requestTimeoutMs = 10000;    // for each request, from the connect or the last answer
        qint64 reuseMs = 1000;              // an answer is made afresh at most this often
        int maxRows = 500;                  // connections and addresses on the page and in the JSON
    };
    // The server's state; maxRows bounds the connections and addresses listed (0: none).
    using SnapshotSource = std::function<ServerSnapshot(int maxRows)>;
    using NowMs = std::function<qint64()>;

    CStatusHttp(Settings settings, SnapshotSource source, NowMs now, QObject* parent = nullptr);
    ~CStatusHttp() override;

    bool Listen(QString* error);
    quint16 Port() const;
    // Closes connections whose request has not come in time; accepts again after an error.
    void Tick(qint64 now);
    int ConnectionCount() const { return static_cast<int>(m_peers.size()); }
    // Connections closed at once because the others were too many.
    std::uint64_t Refused() const { return m_refused; }

signals:
    void logLine(const QString& text);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    enum class Kind { Page, Json, Metrics };
    struct Peer {
        QTcpSocket* socket;
        qint64 deadline;
        qint64 received = 0;          // since the last answer
        bool requestLineSeen = false; // the connection's first line has ended
    };
    struct Answer {
        qint64 madeAt = -1;
        QByteArray body;
    };
    void Incoming(qintptr fd);
    void Arrived(QTcpSocket* socket);
    void Answered(QTcpSocket* socket);
    Peer* Find(const QObject* socket);
    void Gone(QObject* socket);
    void AcceptFailed();
    void UpdateTimer();
    const QByteArray& Body(Kind kind);

    Settings m_settings;
    SnapshotSource m_source;
    NowMs m_now;
    QHttpServer* m_http;
    QTcpServer* m_listener = nullptr;
    std::vector<Peer> m_peers;
    std::array<Answer, 3> m_answers;
    std::uint64_t m_refused = 0;
    qint64 m_resumeAt = -1; // accepting again then, after an accept error
    bool m_acceptFailing = false;
    QBasicTimer m_timer;
};
