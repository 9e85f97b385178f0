#pragma once

#include "CTunnelFramer.h"
#include "TestKit.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A tunnel server for tests on 127.0.0.1 (port chosen by the system), one client at a time:
// sends "login:" and "password:" as separate writes, each after the answer to the one before,
// records the answers, then sends and collects tunnel lines. A newer client replaces the
// current one. Every accessor is safe to poll with QTRY_*.
class CScriptedTunnelServer : public QObject {
    Q_OBJECT

public:
    enum class Prompts {
        Separate, // "login:", then "password:" once the login is answered
        Joined,   // "login:password:" in one write
        None,     // no log-in: tunnel lines from the start
    };
    enum class Phase { NoClient, AwaitLogin, AwaitPassword, LoggedIn };

    explicit CScriptedTunnelServer(QObject* parent = nullptr);
    ~CScriptedTunnelServer() override;

    bool Listen();
    quint16 Port() const { return m_server.serverPort(); }
    void SetPrompts(Prompts prompts) { m_prompts = prompts; }
    // When set, a wrong answer makes the server close the client.
    void SetCredentials(QByteArray login, QByteArray password);

    bool HasClient() const { return m_client != nullptr; }
    int Connections() const { return m_connections; }
    int Disconnections() const { return m_disconnections; }
    Phase CurrentPhase() const { return m_phase; }
    bool LoggedIn() const { return m_phase == Phase::LoggedIn; }
    // The answers of the current or last client, without their LF.
    const QByteArray& Login() const { return m_login; }
    const QByteArray& Password() const { return m_password; }

    // Raw bytes to the client, as one write.
    void SendRaw(const QByteArray& bytes);
    // A message text sent as its tunnel line (escaped, with checksum byte).
    void SendLine(const QByteArray& text);
    void CloseClient();

    // Everything the current or last client sent, log-in answers included.
    const QByteArray& ReceivedBytes() const { return m_received; }
    // The tunnel lines received after log-in, each with its checksum byte.
    const QList<QByteArray>& Lines() const { return m_lines; }
    void ClearReceived();

signals:
    void clientConnected();
    void loggedIn();
    void lineReceived(const QByteArray& line);
    void clientDisconnected();

private:
    void OnNewConnection();
    void OnReadyRead();
    void OnDisconnected();
    void Consume(QByteArray bytes);
    bool TakeAnswer(QByteArray& bytes, QByteArray& answer);
    void EnterLoggedIn();
    void DropClient();

    QTcpServer m_server;
    QTcpSocket* m_client = nullptr;
    Prompts m_prompts = Prompts::Separate;
    Phase m_phase = Phase::NoClient;
    bool m_checkCredentials = false;
    QByteArray m_expectedLogin;
    QByteArray m_expectedPassword;
    QByteArray m_pendingAnswer;
    QByteArray m_login;
    QByteArray m_password;
    QByteArray m_received;
    QList<QByteArray> m_lines;
    CTunnelFramer m_framer;
    int m_connections = 0;
    int m_disconnections = 0;
};
