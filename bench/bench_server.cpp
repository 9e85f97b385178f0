// Measures the real kavlink-server on loopback: tunnel lines relayed per second from one
// client to another, and the server's memory with 1 000 idle logged-in clients.
// Bounded in count and time; stops by itself.
#include "DescriptorLimit.h"
#include "TunnelLine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <cstdio>
#include <memory>
#include <vector>

namespace {
constexpr int kLines = 2000000;
constexpr int kIdleClients = 1000;
constexpr int kTimeLimitMs = 60000;

// The server under test, with its log drained so that it never blocks on a full pipe.
class ServerProcess {
public:
    bool Start() {
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
            const QByteArray bytes = m_process.readAllStandardError();
            m_logins += bytes.count("logged in as");
            if (m_port == 0) {
                m_head += bytes;
                const auto match =
                    QRegularExpression("port (\\d+)").match(QString::fromUtf8(m_head));
                if (match.hasMatch())
                    m_port = static_cast<quint16>(match.captured(1).toUInt());
            }
        });
        // Every client comes from 127.0.0.1 here: lift the per-address limits.
        m_process.start(KAVLINK_SERVER_BINARY,
                        {"--allow-any-login", "--listen", "127.0.0.1", "--port", "0", "--heartbeat",
                         "0", "--max-pending-per-address", "100000", "--max-pending", "100000",
                         "--connects-per-minute", "1000000"});
        return QTest::qWaitFor([this] { return m_port != 0; }, 10000);
    }
    ~ServerProcess() {
        m_process.terminate();
        m_process.waitForFinished(10000);
    }
    quint16 Port() const { return m_port; }
    qint64 Logins() const { return m_logins; }
    // Resident memory in KiB, from /proc.
    qint64 RssKiB() const {
        QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }

private:
    QProcess m_process;
    QByteArray m_head;
    quint16 m_port = 0;
    qint64 m_logins = 0;
};

std::unique_ptr<QTcpSocket> Connect(quint16 port) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    // Both answers at once: the server reads the password after its prompt has gone out.
    socket->write("bench\nbench\n");
    return socket;
}

bool LoggedIn(const ServerProcess& server, qint64 count) {
    return QTest::qWaitFor([&] { return server.Logins() >= count; }, kTimeLimitMs);
}

void MeasureThroughput(ServerProcess& server) {
    auto sender = Connect(server.Port());
    auto receiver = Connect(server.Port());
    if (!LoggedIn(server, 2)) {
        std::printf("throughput: clients did not log in\n");
        return;
    }
    std::string line = "ADDQSO: \"STN1\" \"\" 20240101 1200 14025.0 CW 599 599 \"DL1ABC\" 1 0 "
                       "\"comment\" 123456789";
    EncodeTunnelLine(line);
    const QByteArray bytes(line.data(), static_cast<qsizetype>(line.size()));
    receiver->readAll(); // the prompts

    qint64 received = 0;
    QObject::connect(receiver.get(), &QTcpSocket::readyRead, [&] {
        for (const char c : receiver->readAll())
            received += (static_cast<unsigned char>(c) & 0x80) != 0 ? 1 : 0;
    });
    int sent = 0;
    QElapsedTimer timer;
    timer.start();
    while (received < kLines && timer.elapsed() < kTimeLimitMs) {
        // Keep a bounded amount in flight, as a real client's socket would.
        while (sent < kLines && sender->bytesToWrite() < 256 * 1024) {
            sender->write(bytes);
            ++sent;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    std::printf("throughput: %lld of %d lines of %zu bytes in %.2f s: %.0f lines/s, %.1f MB/s\n",
                static_cast<long long>(received), kLines, line.size(), seconds,
                static_cast<double>(received) / seconds,
                static_cast<double>(received) * static_cast<double>(line.size()) / seconds / 1e6);
}

void MeasureIdleMemory(ServerProcess& server) {
    const qint64 before = server.RssKiB();
    const qint64 loginsBefore = server.Logins();
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    // In batches: the server refuses more than 256 connections still logging in.
    while (static_cast<int>(clients.size()) < kIdleClients) {
        for (int i = 0; i < 200 && static_cast<int>(clients.size()) < kIdleClients; ++i)
            clients.push_back(Connect(server.Port()));
        if (!LoggedIn(server, loginsBefore + static_cast<qint64>(clients.size()))) {
            std::printf("memory: only %lld of %zu clients logged in\n",
                        static_cast<long long>(server.Logins() - loginsBefore), clients.size());
            return;
        }
    }
    QTest::qWait(500); // let the server settle before reading its size
    const qint64 after = server.RssKiB();
    std::printf("memory: server RSS %lld KiB before, %lld KiB with %d idle logged-in clients "
                "(%.1f KiB per client)\n",
                static_cast<long long>(before), static_cast<long long>(after), kIdleClients,
                static_cast<double>(after - before) / kIdleClients);
}

} // namespace

int main(int argc, char* argv[]) {
    RaiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    {
        ServerProcess server;
        if (!server.Start()) {
            std::printf("the server did not start\n");
            return 1;
        }
        MeasureThroughput(server);
    }
    ServerProcess server;
    if (!server.Start()) {
        std::printf("the server did not start\n");
        return 1;
    }
    MeasureIdleMemory(server);
    return 0;
}
