#pragma once

#include "CClockDeadline.h"
#include "CLineRates.h"
#include "CLoginThrottle.h"
#include "CServerSession.h"
#include "ISessionHost.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <cstdint>
#include <string_view>

class IConnectionHost;
class QSslSocket;
class QTcpSocket;

// One client of the tunnel server: its socket, its session and its log-in deadlines. On a
// QSslSocket the log-in starts once the TLS handshake is done, which the first answer's
// time-out bounds.
class CServerConnection : public QObject, private ISessionHost {
    Q_OBJECT

public:
    CServerConnection(IConnectionHost& server, QTcpSocket* socket, std::uint64_t id,
                      QByteArray address, QObject* parent);
    ~CServerConnection() override;

    void Start();
    // Writes a relayed line; drops the client when too much is waiting for it.
    void Send(std::string_view line);
    // Applies what is due on the server's clock: the answer time-out, the delayed close after
    // a refusal, the delayed password prompt, reading again after a pause for the input rate.
    void Due(qint64 now);
    // Reads one slice of what the client sent, within its input rate; asks the server for
    // another turn when more is waiting, so every client is read in turn.
    void ReadSlice();
    // Closes the socket at once, logs the cause and the summary; safe to call again.
    void Close(const QString& cause);
    // The answer to the password check this connection asked for.
    void PasswordChecked(bool accepted);

    bool IsLoggedIn() const { return !m_closed && m_session.IsLoggedIn(); }
    bool IsClosed() const { return m_closed; }
    bool IsTls() const { return m_ssl != nullptr; }
    bool CountsAsAwaitingLogin() const;
    const CServerSession& Session() const { return m_session; }
    const QByteArray& Address() const { return m_address; }
    std::uint64_t Id() const { return m_id; }
    qint64 PendingWrite() const { return m_pendingWrite; }
    // For the status: when the log-in was accepted, and the lines each way since.
    const QDateTime& LoggedInAt() const { return m_loggedInAt; }
    std::uint64_t LinesIn() const { return m_session.LinesValid(); }
    std::uint64_t LinesOut() const { return m_linesSent; }
    const QString& Peer() const { return m_peer; }
    // Lines each way in the last minute, from samples the server takes now and then.
    void SampleRates(qint64 now) { m_rates.Sample(now, {LinesIn(), LinesOut()}); }
    CLineRates::Lines LinesLastMinute(qint64 now) const {
        return m_rates.LastMinute(now, {LinesIn(), LinesOut()});
    }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void SendPrompt(std::string_view prompt) override;
    void CheckCredentials(const QByteArray& login, const QByteArray& password) override;
    void LoginDecided(const QByteArray& login, bool accepted) override;
    void LineReceived(std::string_view line) override;
    void LineDropped(std::string_view line, const char* reason) override;
    void SessionFailed(const char* cause) override;

    void Feed(std::string_view chunk);
    void Write(std::string_view bytes);
    // Bytes the socket holds, not yet taken by the kernel (before and after encryption).
    qint64 Unsent() const;
    void OnEncrypted();
    void UpdatePendingWrite();
    void OnReadyRead();
    // Lines the client may still send now; refilled at the input rate.
    double InputBudget(qint64 now);
    void OnBytesWritten();
    void TakeTurn();
    void OnSocketGone();
    QString LogLine(const QString& text) const;
    // Where a logged-in client's lines are summed from.
    QString SummedAs() const;
    void Log(const QString& text) const;

    IConnectionHost& m_server;
    QTcpSocket* m_socket;
    QSslSocket* m_ssl; // m_socket when it is one, else null
    std::uint64_t m_id;
    int m_fd;
    QByteArray m_address;
    QString m_peer;
    CServerSession m_session;
    CClockDeadline m_answerDeadline;
    CClockDeadline m_refuseDeadline;
    CClockDeadline m_turnDeadline; // when the delayed password prompt goes out
    CClockDeadline m_readDeadline; // when the input rate allows reading again
    bool m_closed = false;
    bool m_turnTaken = false;
    bool m_turnOpen = false;   // taken and not yet decided
    bool m_readQueued = false; // waiting for its next turn to read
    bool m_encrypted = false;
    CLoginThrottle::Turn m_turn;
    double m_inputBudget = 0;
    qint64 m_inputRefilledAt = 0;
    qint64 m_pendingWrite = 0;
    std::uint64_t m_linesSent = 0;
    QDateTime m_loggedInAt;
    CLineRates m_rates;
};
