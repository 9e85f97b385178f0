#include "CStatusHttp.h"

#include "ProcessStats.h"
#include "StatusRender.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimerEvent>

#include <algorithm>
#include <chrono>

#include <unistd.h>

namespace {
constexpr qint64 kAcceptRetryMs = 1000;
constexpr int kTickMs = 1000;

using Status = QHttpServerResponder::StatusCode;

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

bool IsTokenChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool IsToken(QByteArrayView text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

// A whole answer of the port's own, after which the connection is closed.
QByteArray ClosingAnswer(const char* status, const QByteArray& text, const QByteArray& extra = {}) {
    return "HTTP/1.1 " + QByteArray(status) +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(text.size()) + "\r\nConnection: close\r\n" + extra + "\r\n" + text;
}

// What a line of a request head calls for.
enum class Verdict { More, Complete, Junk, BadRequest, NotGet, Upgrade };

// The request line: a method, a path and HTTP/1.x, as Qt's parser takes it.
Verdict JudgeRequestLine(const QByteArray& line) {
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !IsToken(parts[0]) || !parts[1].startsWith('/') ||
        (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0"))
        return Verdict::Junk;
    return parts[0] == "GET" ? Verdict::More : Verdict::NotGet;
}

// A header: a name and printable text. None may ask for another protocol or bring a body.
Verdict JudgeHeader(const QByteArray& line) {
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0 || !IsToken(QByteArrayView(line).first(colon)))
        return Verdict::BadRequest;
    const QByteArray name = line.first(colon).toLower();
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (name == "upgrade")
        return Verdict::Upgrade;
    if (name == "transfer-encoding" || (name == "content-length" && value != "0"))
        return Verdict::BadRequest;
    return Verdict::More;
}
} // namespace

CStatusHttp::CStatusHttp(Settings settings, SnapshotRequest request, NowMs now, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_request(std::move(request)),
      m_now(std::move(now)), m_http(new QHttpServer(this)) {
    using Method = QHttpServerRequest::Method;
    // Each answer waits, when need be, for a fresh state from the server.
    m_http->route("/", Method::Get,
                  [this](QHttpServerResponder&& r) { Requested(Kind::Page, std::move(r)); });
    m_http->route("/status.json", Method::Get,
                  [this](QHttpServerResponder&& r) { Requested(Kind::Json, std::move(r)); });
    m_http->route("/metrics", Method::Get,
                  [this](QHttpServerResponder&& r) { Requested(Kind::Metrics, std::move(r)); });
    m_http->setMissingHandler([this](const QHttpServerRequest&, QHttpServerResponder&& r) {
        Requested(Kind::NotFound, std::move(r));
    });
}

CStatusHttp::~CStatusHttp() {
    m_waiting.clear();
    // The sockets have no parent: they are deleted when they disconnect or are dropped.
    const std::vector<Peer> peers = std::move(m_peers);
    for (const Peer& peer : peers) {
        if (peer.socket) {
            peer.socket->disconnect(this);
            delete peer.socket.data();
        }
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
    if (static_cast<int>(m_peers.size()) >= m_settings.maxConnections && !MakeRoom()) {
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
    // Qt's parser keeps a request's bytes until it has all of them: one more than the bound
    // shows Arrived that the bound was passed.
    socket->setReadBufferSize(m_settings.maxRequestBytes + 1);
    m_peers.push_back({socket, m_now(), {}});
    // Connected before Qt's server, so Arrived sees the bytes first and can keep them from it.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Arrived(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { Written(socket); });
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, &CStatusHttp::Forget);
    static_cast<CListener*>(m_listener)->addPendingConnection(socket);
    UpdateTimer();
}

// A full port makes room by closing the connection that matters least: one already refused,
// then the oldest idle one, then the oldest whose request is still coming in.
bool CStatusHttp::MakeRoom() {
    const auto rank = [this](const Peer& peer) {
        if (peer.closing)
            return 0;
        if (Idle(peer))
            return 1;
        return peer.asking ? 3 : 2;
    };
    const Peer* victim = nullptr;
    for (const Peer& peer : m_peers) {
        if (peer.socket && rank(peer) < 3 &&
            (victim == nullptr ||
             std::pair(rank(peer), peer.since) < std::pair(rank(*victim), victim->since)))
            victim = &peer;
    }
    if (victim == nullptr)
        return false;
    Drop(victim->socket);
    ++m_evicted;
    return true;
}

CStatusHttp::Peer* CStatusHttp::Find(const QObject* socket) {
    const auto it = std::find_if(m_peers.begin(), m_peers.end(),
                                 [socket](const Peer& peer) { return peer.socket == socket; });
    return it == m_peers.end() ? nullptr : &*it;
}

bool CStatusHttp::Idle(const Peer& peer) const {
    return !peer.asking && !peer.closing && peer.head.isEmpty() && peer.socket &&
           peer.socket->bytesToWrite() == 0;
}

int CStatusHttp::IdleCount() const {
    return static_cast<int>(
        std::count_if(m_peers.begin(), m_peers.end(), [this](const Peer& p) { return Idle(p); }));
}

// New bytes, not yet read by Qt's server, judged line by line as they come: Qt's parser gets
// only whole GET requests without a body or an upgrade, one at a time.
void CStatusHttp::Arrived(QTcpSocket* socket) {
    Peer* peer = Find(socket);
    if (peer == nullptr || peer->closing)
        return;
    const QByteArray fresh = socket->peek(socket->bytesAvailable());
    for (const char c : fresh) {
        if (peer->asking) // another request before the answer: not served here
            return Refuse(*peer, {});
        if (peer->head.isEmpty()) {
            if (c == '\r' || c == '\n') // blank lines before a request are allowed
                continue;
            peer->since = m_now();
        }
        const bool printable = (c >= 0x20 && c <= 0x7E) || c == '\r' || c == '\n';
        if (!printable && (peer->requestLineDone ? c != '\t' : true))
            return Refuse(*peer, peer->requestLineDone
                                     ? ClosingAnswer("400 Bad Request", "bad request\n")
                                     : QByteArray());
        peer->head.append(c);
        if (peer->head.size() > m_settings.maxRequestBytes)
            return Refuse(*peer, {});
        if (c == '\n' && !Judge(*peer))
            return;
    }
}

// A line of the request head has ended; false when the connection was refused.
bool CStatusHttp::Judge(Peer& peer) {
    QByteArray line = peer.head.sliced(peer.lineStart, peer.head.size() - peer.lineStart - 1);
    peer.lineStart = peer.head.size();
    if (line.endsWith('\r'))
        line.chop(1);
    Verdict verdict = Verdict::More;
    if (line.contains('\r'))
        verdict = peer.requestLineDone ? Verdict::BadRequest : Verdict::Junk;
    else if (!peer.requestLineDone)
        verdict = JudgeRequestLine(line);
    else if (line.isEmpty())
        verdict = Verdict::Complete;
    else if (line.front() == ' ' || line.front() == '\t') // folded lines are no longer HTTP
        verdict = Verdict::BadRequest;
    else
        verdict = JudgeHeader(line);
    peer.requestLineDone = true;
    switch (verdict) {
    case Verdict::More:
        return true;
    case Verdict::Complete:
        peer.head.clear();
        peer.lineStart = 0;
        peer.requestLineDone = false;
        peer.asking = true;
        return true;
    case Verdict::Junk:
        Refuse(peer, {});
        return false;
    case Verdict::BadRequest:
        Refuse(peer, ClosingAnswer("400 Bad Request", "bad request\n"));
        return false;
    case Verdict::NotGet:
        Refuse(peer,
               ClosingAnswer("405 Method Not Allowed", "only GET is served\n", "Allow: GET\r\n"));
        return false;
    case Verdict::Upgrade:
        Refuse(peer, ClosingAnswer("501 Not Implemented", "no upgrade is served here\n"));
        return false;
    }
    return false;
}

// Called while the socket emits readyRead: Qt's server, next in line, must not get these bytes.
void CStatusHttp::Refuse(Peer& peer, const QByteArray& answer) {
    QTcpSocket* socket = peer.socket;
    disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
    peer.closing = true;
    peer.asking = false;
    peer.head.clear();
    peer.since = m_now();
    if (answer.isEmpty()) {
        QMetaObject::invokeMethod(socket, &QAbstractSocket::abort, Qt::QueuedConnection);
        return;
    }
    socket->write(answer);
    QMetaObject::invokeMethod(socket, &QAbstractSocket::disconnectFromHost, Qt::QueuedConnection);
}

void CStatusHttp::Drop(QTcpSocket* socket) {
    std::erase_if(m_peers, [socket](const Peer& peer) { return peer.socket == socket; });
    if (socket == nullptr)
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void CStatusHttp::Written(QTcpSocket* socket) {
    Peer* peer = Find(socket);
    if (peer != nullptr && Idle(*peer))
        peer->since = m_now();
}

void CStatusHttp::Forget() {
    std::erase_if(m_peers, [](const Peer& peer) { return peer.socket.isNull(); });
    UpdateTimer();
}

void CStatusHttp::Requested(Kind kind, QHttpServerResponder&& responder) {
    QTcpSocket* socket = responder.socket();
    if (Find(socket) == nullptr)
        return;
    // Answers leave in the order the requests came.
    if (m_waiting.empty() && Ready(kind, m_now())) {
        Respond(socket, responder, kind);
        return;
    }
    // At most one request of each connection waits.
    std::erase_if(m_waiting, [this](const Waiting& w) { return Find(w.socket) == nullptr; });
    m_waiting.push_back({socket, std::move(responder), kind});
    Ask(kind);
}

const CStatusHttp::State& CStatusHttp::StateFor(Kind kind) const {
    // The metrics list no connection; a fresher state with rows does for them as well.
    if (kind == Kind::Metrics && !(m_states[1].arrivedAt > m_states[0].arrivedAt))
        return m_states[0];
    return m_states[1];
}

bool CStatusHttp::Ready(Kind kind, qint64 now) const {
    if (kind == Kind::NotFound)
        return true;
    const State& state = StateFor(kind);
    return state.arrivedAt >= 0 && now - state.arrivedAt < m_settings.reuseMs;
}

void CStatusHttp::Ask(Kind kind) {
    const std::size_t index = kind == Kind::Metrics ? 0 : 1;
    if (m_states[index].asked)
        return;
    m_states[index].asked = true;
    m_request(index == 0 ? 0 : m_settings.maxRows);
}

void CStatusHttp::Deliver(int maxRows, ServerSnapshot snapshot) {
    State& state = m_states[maxRows == 0 ? 0 : 1];
    state.snapshot = std::move(snapshot);
    state.snapshot.process = ReadProcessStats();
    // Two states never share an arrival: each answer knows which one it was made from.
    state.arrivedAt = std::max(m_now(), std::max(m_states[0].arrivedAt, m_states[1].arrivedAt) + 1);
    state.asked = false;
    const qint64 now = state.arrivedAt;
    while (!m_waiting.empty()) {
        Waiting& first = m_waiting.front();
        if (Find(first.socket) != nullptr) {
            if (!Ready(first.kind, now)) {
                Ask(first.kind);
                return;
            }
            Respond(first.socket, first.responder, first.kind);
        }
        m_waiting.pop_front();
    }
}

void CStatusHttp::Respond(QTcpSocket* socket, QHttpServerResponder& responder, Kind kind) {
    Peer* peer = Find(socket);
    if (peer == nullptr || peer->closing)
        return;
    static constexpr std::array<const char*, 4> kTypes = {
        "text/html; charset=utf-8", "application/json", "text/plain; version=0.0.4; charset=utf-8",
        "text/plain; charset=utf-8"};
    const QByteArray type = kTypes[static_cast<std::size_t>(kind)];
    const bool found = kind != Kind::NotFound;
    // Nothing on the page may run or load, whatever a peer's text held.
    responder.write(found ? Body(kind) : QByteArrayLiteral("not found\n"),
                    {{"Content-Type", type},
                     {"Cache-Control", "no-store"},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'"}},
                    found ? Status::Ok : Status::NotFound);
    peer->asking = false;
    peer->since = m_now();
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
    std::vector<QTcpSocket*> done;
    for (const Peer& peer : m_peers) {
        if (!peer.socket)
            continue;
        const qint64 limit = Idle(peer) ? m_settings.idleMs : m_settings.requestTimeoutMs;
        if (now - peer.since >= limit || peer.socket->state() == QAbstractSocket::UnconnectedState)
            done.push_back(peer.socket);
    }
    for (QTcpSocket* socket : done)
        Drop(socket);
    Forget();
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
    const State& state = StateFor(kind);
    if (answer.madeFrom == state.arrivedAt)
        return answer.body;
    switch (kind) {
    case Kind::Page:
        answer.body = StatusPageHtml(state.snapshot);
        break;
    case Kind::Json:
        answer.body = StatusJson(state.snapshot);
        break;
    case Kind::Metrics:
    case Kind::NotFound:
        answer.body = MetricsText(state.snapshot);
        break;
    }
    answer.madeFrom = state.arrivedAt;
    return answer.body;
}

CStatusPort::CStatusPort(CStatusHttp::Settings settings, SnapshotSource source, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_source(std::move(source)) {
    m_thread.setObjectName(QStringLiteral("status port"));
}

CStatusPort::~CStatusPort() {
    if (!m_thread.isRunning()) {
        delete m_http;
        return;
    }
    // The port deletes itself on its thread as the thread ends.
    m_thread.quit();
    m_thread.wait();
}

bool CStatusPort::Start(QString* error) {
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    // Both calls are queued: neither thread ever waits for the other.
    m_http = new CStatusHttp(
        m_settings,
        [this](int maxRows) {
            QMetaObject::invokeMethod(
                this, [this, maxRows] { Serve(maxRows); }, Qt::QueuedConnection);
        },
        now);
    if (!m_http->Listen(error)) {
        delete m_http;
        m_http = nullptr;
        return false;
    }
    m_port = m_http->Port();
    connect(m_http, &CStatusHttp::logLine, this, &CStatusPort::logLine);
    m_http->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_http, &QObject::deleteLater);
    m_thread.start();
    return true;
}

// On this object's thread; the port lives until this object ends on the same thread.
void CStatusPort::Serve(int maxRows) {
    ServerSnapshot snapshot = m_source(maxRows);
    CStatusHttp* http = m_http;
    QMetaObject::invokeMethod(
        http, [http, maxRows, snapshot] { http->Deliver(maxRows, snapshot); },
        Qt::QueuedConnection);
}
