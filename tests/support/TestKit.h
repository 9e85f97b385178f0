#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUdpSocket>

// Helpers every kind of test uses: tunnel lines, debug log texts, UDP ports.

// A text as one tunnel line.
QByteArray Line(const QByteArray& text);

// The texts of a debug log's lines, without their time stamps ("YYYY-mm-dd HH:MM:SS text").
QList<QByteArray> LogTexts(const QString& logPath);

// A UDP port that no other test gets while the lease lives: it stays bound on 127.0.0.2
// with address sharing, so the system hands it to nobody else, while programs that share
// addresses (the LAN library) still bind 0.0.0.0 on it. Nothing sent to 127.0.0.1 or to the
// broadcast address reaches the lease.
class CUdpPortLease {
public:
    CUdpPortLease();
    quint16 Port() const { return m_port; }
    // For a test that needs the port to itself.
    void Release() { m_socket.close(); }

private:
    QUdpSocket m_socket;
    quint16 m_port = 0;
};
