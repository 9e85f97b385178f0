#include "CInstanceChannel.h"

#include <QDir>
#include <QEventLoop>
#include <QLocalSocket>
#include <QTimer>

namespace {
const QByteArray kShow = "show\n";
const QByteArray kShown = "shown\n";
const QByteArray kHeadless = "headless\n";
// Between two tries while nobody listens yet.
constexpr int kRetryMs = 100;
} // namespace

CInstanceChannel::CInstanceChannel(QString socketPath, QObject* parent)
    : QObject(parent), m_path(std::move(socketPath)) {
    // Another user's process has no business with it, even where the directory is shared.
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &CInstanceChannel::OnConnection);
}

CInstanceChannel::~CInstanceChannel() = default;

QString CInstanceChannel::SocketPath(const QString& directory) {
    return QDir(directory).filePath(QStringLiteral("Kavlink.socket"));
}

bool CInstanceChannel::Listen(ShowRequest onShow) {
    m_onShow = std::move(onShow);
    // We hold the lock: a socket file there is a crashed holder's.
    QLocalServer::removeServer(m_path);
    return m_server.listen(m_path);
}

void CInstanceChannel::OnConnection() {
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // One that connects and says nothing, or too little, is not kept.
        QTimer::singleShot(kAnswerMs, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() >= kLongestLine)
                    socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(kLongestLine + 1);
            if (line != kShow) {
                socket->abort();
                return;
            }
            socket->write(m_onShow && m_onShow() ? kShown : kHeadless);
            // Sent once the peer can take it; never waited for here.
            socket->disconnectFromServer();
        });
    }
}

CInstanceChannel::Answer CInstanceChannel::AskToShow(const QString& socketPath, int timeoutMs) {
    QLocalSocket socket;
    QEventLoop loop;
    QByteArray reply;
    bool connected = false;
    QTimer retry;
    retry.setSingleShot(true);
    connect(&retry, &QTimer::timeout, &loop, [&] { socket.connectToServer(socketPath); });
    connect(&socket, &QLocalSocket::connected, &loop, [&] {
        connected = true;
        socket.write(kShow);
    });
    connect(&socket, &QLocalSocket::readyRead, &loop, [&] {
        reply += socket.readAll();
        if (reply.contains('\n') || reply.size() > kLongestLine)
            loop.quit();
    });
    connect(&socket, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
    connect(&socket, &QLocalSocket::errorOccurred, &loop,
            [&](QLocalSocket::LocalSocketError error) {
                const bool notYet = error == QLocalSocket::ServerNotFoundError ||
                                    error == QLocalSocket::ConnectionRefusedError;
                if (!connected && notYet)
                    retry.start(kRetryMs);
                else if (error != QLocalSocket::PeerClosedError)
                    loop.quit();
            });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    retry.start(0);
    loop.exec();
    const QByteArray line = reply.left(reply.indexOf('\n') + 1);
    if (line == kShown)
        return Answer::Shown;
    if (line == kHeadless)
        return Answer::Headless;
    return Answer::NoAnswer;
}
