#include "CRelayServer.h"

#include "StopProcess.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace {
constexpr int kStartMs = 10000;
} // namespace

CRelayServer::CRelayServer(QString binary) : m_binary(std::move(binary)) {}

quint16 CRelayServer::Start(quint16 port, const QStringList& arguments) {
    // Built with the whole tree, not as a dependency of every test.
    if (!QFile::exists(m_binary)) {
        qWarning("%s is not built", qPrintable(m_binary));
        return 0;
    }
    m_log.clear();
    m_port = 0;
    m_tlsPort = 0;
    m_process.start(m_binary, QStringList{"--listen", "127.0.0.1", "--port", QString::number(port),
                                          "--heartbeat", "0", "--allow-any-login", "--verbose"} +
                                  arguments);
    const QRegularExpression listening("listening on 127.0.0.1 port (\\d+)");
    QRegularExpressionMatch match;
    const bool settled = QTest::qWaitFor(
        [&] {
            match = listening.match(QString::fromLatin1(Log()));
            return match.hasMatch() || m_process.state() == QProcess::NotRunning;
        },
        kStartMs);
    if (!settled || !match.hasMatch()) {
        qWarning("kavlink-server did not start:\n%s", Log().constData());
        return 0;
    }
    m_port = static_cast<quint16>(match.captured(1).toUInt());
    const QRegularExpressionMatch tls =
        QRegularExpression("listening for TLS on 127.0.0.1 port (\\d+)")
            .match(QString::fromLatin1(Log()));
    if (tls.hasMatch())
        m_tlsPort = static_cast<quint16>(tls.captured(1).toUInt());
    return m_port;
}

bool CRelayServer::Stop() {
    return StopProcess(m_process, "kavlink-server");
}

void CRelayServer::Kill() {
    m_process.kill();
    m_process.waitForFinished(kStartMs);
    Log();
}

const QByteArray& CRelayServer::Log() {
    m_log += m_process.readAllStandardError();
    return m_log;
}
