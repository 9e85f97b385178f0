#include "CRelayServer.h"

#include "StopProcess.h"
#include "TestKit.h"

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
    const std::optional<quint16> started = StartServerBinary(
        m_process, m_binary,
        QStringList{"--port", QString::number(port), "--allow-any-login", "--verbose"} + arguments,
        m_log);
    if (!started) {
        qWarning("kavlink-server did not start:\n%s", Log().constData());
        return 0;
    }
    m_port = *started;
    if (arguments.contains("--tls-port")) {
        // Its own line, which may come a moment after the plain port's.
        const QRegularExpression listening("listening for TLS on 127.0.0.1 port (\\d+)");
        QRegularExpressionMatch tls;
        if (QTest::qWaitFor(
                [&] { return (tls = listening.match(QString::fromLatin1(Log()))).hasMatch(); },
                kStartMs))
            m_tlsPort = static_cast<quint16>(tls.captured(1).toUInt());
    }
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
