#include "CStatusHttp.h"

#include "ProcessStats.h"
#include "StatusRender.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimerEvent>

#include <algorithm>

#include <unistd.h>

namespace {
constexpr qint64 kAcceptRetryMs = 1000;
constexpr int kTickMs = 1000;

// Hands each accepted descriptor to its owner, which may close it at once.
class CListener : public QTcpServer {
public:
    CListener(std::function<void(qintptr)> incoming, QObject* parent)
        : QTcpServer(parent), m_incoming(std::move(incoming)) {}

    using QTcpServer::addPendingConnection;

protected:
    void incomingConnection(qintptr fd) override { m_incoming(fd); }

private:
    std::function<void(qintptr)> m_incoming;
};
} // namespace

CStatusHttp::CStatusHttp(Settings settings, SnapshotSource source, NowMs now, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_source(std::move(source)),
      m_now(std::move(now)), m_http(new QHttpServer(this)) {
    using Method = QHttpServerRequest::Method;
    m_http->route("/", Method::Get, [this] {
        return QHttpServerResponse("text/html; charset=utf-8", Body(Kind::Page));
    });
    m_http->route("/status.json", Method::Get,
                  [this] { return QHttpServerResponse("application/json", Body(Kind::Json)); });
    m_http->route("/metrics", Method::Get, [this] {
        return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8", Body(Kind::Metrics));
    });
    m_http->afterRequest([](QHttpServerResponse&& response) {
        response.setHeader("Cache-Control", "no-store");
        response.setHeader("X-Content-Type-Options", "nosniff");
        // Nothing on the page may run or load, whatever a peer's text held.
        response.setHeader("Content-Security-Policy",
                           "default-src 'none'; style-src 'unsafe-inline'");
        return std::move(response);
    });
}

CStatusHttp::~CStatusHttp() = default;

bool CStatusHttp::Listen(QString* error) {
    auto* listener = new CListener([this](qintptr fd) { Incoming(fd); }, this);
    listener->setListenBacklogSize(m_settings.maxConnections);
    if (!listener->listen(m_settings.address, m_settings.port)) {
        if (error)
            *error = QStringLiteral("cannot listen for the status page on %1 port %2: %3")
                         .arg(m_settings.address.toString())
                         .arg(m_settings.port)
                         .arg(listener->errorString());
        delete listener;
        return false;
    }
    connect(listener, &QTcpServer::acceptError, this, &CStatusHttp::AcceptFailed);
    m_listener = listener;
    m_http->bind(listener);
    return true;
}

quint16 CStatusHttp::Port() const {
    return m_listener ? m_listener->serverPort() : 0;
}

void CStatusHttp::Incoming(qintptr fd) {
    if (static_cast<int>(m_peers.size()) >= m_settings.maxConnections) {
        ::close(static_cast<int>(fd));
        ++m_refused;
        return;
    }
    auto* socket = new QTcpSocket;
    if (!socket->setSocketDescriptor(fd)) {
        ::close(static_cast<int>(fd));
        delete socket;
        return;
    }
    // A request that does not fit stops being read, and its deadline closes it.
    socket->setReadBufferSize(m_settings.maxRequestBytes);
    m_peers.push_back({socket, m_now() + m_settings.requestTimeoutMs});
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { Answered(socket); });
    connect(socket, &QObject::destroyed, this, &CStatusHttp::Gone);
    static_cast<CListener*>(m_listener)->addPendingConnection(socket);
    UpdateTimer();
}

// The answer is out: the next request on the connection gets a deadline of its own.
void CStatusHttp::Answered(QTcpSocket* socket) {
    if (socket->bytesToWrite() > 0)
        return;
    for (Peer& peer : m_peers) {
        if (peer.socket == socket)
            peer.deadline = m_now() + m_settings.requestTimeoutMs;
    }
}

void CStatusHttp::Gone(QObject* socket) {
    std::erase_if(m_peers, [socket](const Peer& peer) { return peer.socket == socket; });
    UpdateTimer();
}

void CStatusHttp::AcceptFailed() {
    // Qt's listener has paused itself; it would fail again at once (out of descriptors).
    emit logLine(QStringLiteral("status page: cannot accept: %1; trying again in %2 s")
                     .arg(m_listener->errorString())
                     .arg(kAcceptRetryMs / 1000));
    m_resumeAt = m_now() + kAcceptRetryMs;
    UpdateTimer();
}

void CStatusHttp::Tick(qint64 now) {
    if (m_resumeAt >= 0 && now >= m_resumeAt) {
        m_resumeAt = -1;
        m_listener->resumeAccepting();
    }
    // abort() deletes the socket later through Qt's own handler, which takes it off the list.
    std::vector<QTcpSocket*> late;
    for (const Peer& peer : m_peers) {
        if (now >= peer.deadline)
            late.push_back(peer.socket);
    }
    for (QTcpSocket* socket : late)
        socket->abort();
    UpdateTimer();
}

void CStatusHttp::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_timer.timerId())
        Tick(m_now());
}

void CStatusHttp::UpdateTimer() {
    const bool needed = !m_peers.empty() || m_resumeAt >= 0;
    if (needed && !m_timer.isActive())
        m_timer.start(kTickMs, this);
    else if (!needed)
        m_timer.stop();
}

const QByteArray& CStatusHttp::Body(Kind kind) {
    Answer& answer = m_answers[static_cast<std::size_t>(kind)];
    const qint64 now = m_now();
    if (answer.madeAt >= 0 && now - answer.madeAt < m_settings.reuseMs)
        return answer.body;
    ServerSnapshot snapshot = m_source(kind == Kind::Metrics ? 0 : m_settings.maxRows);
    snapshot.process = ReadProcessStats();
    switch (kind) {
    case Kind::Page:
        answer.body = StatusPageHtml(snapshot);
        break;
    case Kind::Json:
        answer.body = StatusJson(snapshot);
        break;
    case Kind::Metrics:
        answer.body = MetricsText(snapshot);
        break;
    }
    answer.madeAt = now;
    return answer.body;
}
