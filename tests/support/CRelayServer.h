#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// The real tunnel server binary on loopback, logging every line it relays. Its log covers the
// current run only.
class CRelayServer {
public:
    explicit CRelayServer(QString binary);

    // Listens on port, or on a free port when it is 0; returns the port, 0 on failure.
    // arguments come on top of the defaults (TLS options, say).
    quint16 Start(quint16 port = 0, const QStringList& arguments = {});
    // The TLS port, when arguments asked for one.
    quint16 TlsPort() const { return m_tlsPort; }
    bool Stop();
    // SIGKILL: the connections end without the server closing them.
    void Kill();
    quint16 Port() const { return m_port; }

    const QByteArray& Log();
    qsizetype LoggedIn() { return Log().count("logged in as"); }
    // Tunnel lines the server took from its clients to pass on, those that start with start.
    // The server's log shows a peer's double quotes as \x22.
    qsizetype LinesRelayed(const QByteArray& start = {}) {
        return Log().count(" line: " + QByteArray(start).replace('"', "\\x22"));
    }

private:
    QString m_binary;
    QProcess m_process;
    QByteArray m_log;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
};
