#include "TestKit.h"

#include "TunnelLine.h"

#include <QFile>

#include <string>

QByteArray Line(const QByteArray& text) {
    std::string line(text.constData(), static_cast<std::size_t>(text.size()));
    EncodeTunnelLine(line);
    return QByteArray(line.data(), static_cast<qsizetype>(line.size()));
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
