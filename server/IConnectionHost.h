#pragma once

#include "CLoginThrottle.h"
#include "ServerOptions.h"
#include "ServerSnapshot.h"

#include <QByteArray>
#include <QString>

#include <string_view>

class CServerConnection;

// What one connection needs from the server it belongs to, and nothing more.
class IConnectionHost {
public:
    virtual ~IConnectionHost() = default;

    virtual const ServerOptions& Options() const = 0;
    // Milliseconds on the server's clock.
    virtual qint64 Now() const = 0;

    // Log-in. Checks the password away from the relay; the answer goes to the connection's
    // PasswordChecked later, or, when the connection has closed by then, to the throttle alone:
    // an attempt counts whether or not its client waited for the answer.
    virtual void CheckPassword(CServerConnection* connection, const QByteArray& login,
                               const QByteArray& password, const CLoginThrottle::Turn& turn) = 0;
    // When the password prompt for this login may go out, if at all (CLoginThrottle::Reserve).
    virtual CLoginThrottle::Turn PasswordTurn(const QByteArray& address,
                                              const QByteArray& login) = 0;
    // Returns the pause that starts with a failure (CLoginThrottle::Decided).
    virtual qint64 LoginDecided(const QByteArray& address, const QByteArray& login,
                                const CLoginThrottle::Turn& turn, bool accepted) = 0;
    virtual void TurnAbandoned(const QByteArray& address, const QByteArray& login,
                               const CLoginThrottle::Turn& turn) = 0;
    virtual void LoggedIn(CServerConnection* connection) = 0;

    // Traffic.
    virtual void Relay(CServerConnection* from, std::string_view line) = 0;
    // A line from the client that was not relayed.
    virtual void LineDropped(DropReason reason) = 0;
    // The connection has more input than one slice; it is read again after the others.
    virtual void QueueRead(CServerConnection* connection) = 0;
    virtual void PendingWriteChanged(qint64 delta) = 0;
    virtual void ConnectionClosed(CServerConnection* connection, bool wasAwaitingLogin) = 0;

    // Log.
    virtual void Log(const QString& text) const = 0;
    // Logs the line unless events of its kind are being summed up.
    virtual void LogRepeated(const QString& what, const QString& from, const QString& line) = 0;
    // The same, with a few lines of the kind for each source.
    virtual void LogPerAddress(const QString& what, const QString& from, const QString& line) = 0;
};
