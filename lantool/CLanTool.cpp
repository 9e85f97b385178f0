#include "CLanTool.h"

#include "Orvane.h"
#include "TunnelLine.h"
#include "VisibleText.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <cstring>

namespace {
QString Hex(unsigned char byte) {
    return QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

QString Problem(const QByteArray& datagram) {
    qsizetype size = datagram.size();
    if (size > 0 && datagram[size - 1] == '\0')
        --size;
    if (size == 0)
        return QStringLiteral("empty datagram");
    if (std::memchr(datagram.constData(), 0, static_cast<std::size_t>(size)) != nullptr)
        return QStringLiteral("NUL byte inside");
    const auto got = static_cast<unsigned char>(datagram[size - 1]);
    const auto expected = TunnelChecksum(datagram.constData(), static_cast<std::size_t>(size - 1));
    return QStringLiteral("checksum 0x%1, expected 0x%2").arg(Hex(got), Hex(expected));
}
} // namespace

CLanTool::CLanTool(std::FILE* out, QObject* parent) : QObject(parent), m_out(out) {}

bool CLanTool::Listen(quint16 port, QString* error) {
    m_socket = new QUdpSocket(this);
    if (!m_socket->bind(QHostAddress::AnyIPv4, port,
                        QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        if (error)
            *error = QStringLiteral("cannot listen on UDP port %1: %2")
                         .arg(port)
                         .arg(m_socket->errorString());
        return false;
    }
    connect(m_socket, &QUdpSocket::readyRead, this, &CLanTool::OnReadyRead);
    return true;
}

quint16 CLanTool::ListenPort() const {
    return m_socket ? m_socket->localPort() : 0;
}

bool CLanTool::Send(const QHostAddress& address, quint16 port, const QByteArray& text,
                    QString* error) {
    QUdpSocket socket;
    const QByteArray datagram = OrvaneBuildDatagram(text.constData());
    if (socket.writeDatagram(datagram, address, port) != datagram.size()) {
        if (error)
            *error = QStringLiteral("cannot send to %1 port %2: %3")
                         .arg(address.toString())
                         .arg(port)
                         .arg(socket.errorString());
        return false;
    }
    return true;
}

QString CLanTool::Describe(const QByteArray& datagram, const QString& sender,
                           const QDateTime& when) {
    const QString stamp = when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    QByteArray text;
    if (OrvaneCheckDatagram(datagram.constData(), static_cast<std::size_t>(datagram.size()), text))
        return QStringLiteral("%1 %2 %3").arg(stamp, sender, VisibleText(text, 65536));
    return QStringLiteral("%1 %2 BAD DATAGRAM (%3, %4 bytes): %5")
        .arg(stamp, sender, Problem(datagram))
        .arg(datagram.size())
        .arg(VisibleText(datagram, 65536));
}

void CLanTool::OnReadyRead() {
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram(65536);
        const QString sender = QStringLiteral("%1:%2")
                                   .arg(datagram.senderAddress().toString())
                                   .arg(datagram.senderPort());
        const QByteArray line =
            Describe(datagram.data(), sender, QDateTime::currentDateTime()).toUtf8() + '\n';
        std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), m_out);
        std::fflush(m_out);
    }
}
