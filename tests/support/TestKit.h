#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUdpSocket>

#include <optional>

// Helpers every kind of test uses: tunnel lines, debug log texts, UDP ports.

// A text as one tunnel line.
QByteArray Line(const QByteArray& text);

// Starts a kavlink-server binary for a test: on 127.0.0.1, without heartbeats, with arguments
// after those, its standard error gathered in err. Waits until its log matches waitFor (a
// regular expression; its first group, if it has one, is returned as the port: 0 otherwise),
// and gives up when the program ends or 10 s have passed. shell, when given, is a command for
// /bin/sh -c that runs the binary as "$0" "$@" (to set a limit first, say).
std::optional<quint16>
StartServerBinary(QProcess& process, const QString& binary, const QStringList& arguments,
                  QByteArray& err,
                  const QString& waitFor = QStringLiteral("listening on 127.0.0.1 port (\\d+)"),
                  const QString& shell = {});

// The texts of a debug log's lines, without their time stamps ("YYYY-mm-dd HH:MM:SS text").
QList<QByteArray> LogTexts(const QString& logPath);
// The texts after the first `seen` lines, as Latin-1; seen then counts them all.
QStringList NewLogTexts(const QString& logPath, int& seen);

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
