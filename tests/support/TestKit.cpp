#include "TestKit.h"

#include <QRegularExpression>
#include <QTest>

#include "TunnelLine.h"

#include <QFile>

#include <string>

QByteArray Line(const QByteArray& text) {
    std::string line(text.constData(), static_cast<std::size_t>(text.size()));
    EncodeTunnelLine(line);
    return QByteArray(line.data(), static_cast<qsizetype>(line.size()));
}

QStringList NewLogTexts(const QString& logPath, int& seen) {
    const QList<QByteArray> texts = LogTexts(logPath);
    QStringList lines;
    for (qsizetype i = seen; i < texts.size(); ++i)
        lines << QString::fromLatin1(texts[i]);
    seen = static_cast<int>(texts.size());
    return lines;
}

QList<QByteArray> LogTexts(const QString& logPath) {
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> texts;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.size() > 20)
            texts << line.mid(20);
    }
    return texts;
}

CUdpPortLease::CUdpPortLease() {
    if (m_socket.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0,
                      QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint))
        m_port = m_socket.localPort();
}

std::optional<quint16> StartServerBinary(QProcess& process, const QString& binary,
                                         const QStringList& arguments, QByteArray& err,
                                         const QString& waitFor, const QString& shell) {
    const QStringList all = QStringList{"--listen", "127.0.0.1", "--heartbeat", "0"} + arguments;
    if (shell.isEmpty()) {
        process.start(binary, all);
    } else {
        process.start(QStringLiteral("/bin/sh"), QStringList{"-c", shell, binary} + all);
    }
    const QRegularExpression pattern(waitFor);
    QRegularExpressionMatch match;
    const bool said = QTest::qWaitFor(
        [&] {
            err += process.readAllStandardError();
            match = pattern.match(QString::fromUtf8(err));
            return match.hasMatch() || process.state() == QProcess::NotRunning;
        },
        10000);
    if (!said || !match.hasMatch())
        return std::nullopt;
    return pattern.captureCount() > 0 ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
}
