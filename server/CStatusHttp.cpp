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

// A request line is printable ASCII; Qt's parser judges a line only once it has ended.
bool FitsARequestLine(const QByteArray& bytes, bool* ended) {
    for (const char c : bytes) {
        if (c == '\n') {
            *ended = true;
            return true;
        }
        if ((c < 0x20 || c > 0x7E) && c != '\r')
            return false;
    }
    return true;
}

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

CStatusHttp::~CStatusHttp() {
    // The sockets have no parent: Qt's server deletes them only when they disconnect.
    const std::vector<Peer> peers = std::move(m_peers);
    for (const Peer& peer : peers) {
        peer.socket->disconnect(this);
        delete peer.socket;
    }
}

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
    m_acceptFailing = false;
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
    // Never more than a request's bound in memory; connected before Qt's server, so Arrived
    // sees the bytes first.
    socket->setReadBufferSize(m_settings.maxRequestBytes);
    m_peers.push_back({socket, m_now() + m_settings.requestTimeoutMs});
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Arrived(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { Answered(socket); });
    connect(socket, &QObject::destroyed, this, &CStatusHttp::Gone);
    static_cast<CListener*>(m_listener)->addPendingConnection(socket);
    UpdateTimer();
}

CStatusHttp::Peer* CStatusHttp::Find(const QObject* socket) {
    const auto it = std::find_if(m_peers.begin(), m_peers.end(),
                                 [socket](const Peer& peer) { return peer.socket == socket; });
    return it == m_peers.end() ? nullptr : &*it;
}

// New bytes, not yet read by Qt's server: junk and requests past the bound end here.
void CStatusHttp::Arrived(QTcpSocket* socket) {
    Peer* peer = Find(socket);
    if (peer == nullptr)
        return;
    const qint64 fresh = socket->bytesAvailable();
    peer->received += fresh;
    const bool junk =
        !peer->requestLineSeen && !FitsARequestLine(socket->peek(fresh), &peer->requestLineSeen);
    // Once Qt's server, next in line for these bytes, is done with them.
    if (junk || peer->received >= m_settings.maxRequestBytes)
        QMetaObject::invokeMethod(socket, &QAbstractSocket::abort, Qt::QueuedConnection);
}

// The answer is out: the next request on the connection gets a deadline and a bound of its own.
void CStatusHttp::Answered(QTcpSocket* socket) {
    Peer* peer = Find(socket);
    if (peer == nullptr || socket->bytesToWrite() > 0)
        return;
    peer->deadline = m_now() + m_settings.requestTimeoutMs;
    peer->received = 0;
}

void CStatusHttp::Gone(QObject* socket) {
    std::erase_if(m_peers, [socket](const Peer& peer) { return peer.socket == socket; });
    UpdateTimer();
}

void CStatusHttp::AcceptFailed() {
    // Accepting again at once would fail again at once (out of descriptors) and spin.
    m_listener->pauseAccepting();
    if (!m_acceptFailing)
        emit logLine(QStringLiteral("status page: cannot accept: %1; trying again every %2 s")
                         .arg(m_listener->errorString())
                         .arg(kAcceptRetryMs / 1000));
    m_acceptFailing = true;
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
