#pragma once

#include <QByteArray>

#include <string_view>

// What a CServerSession needs from the connection it runs on.
class ISessionHost {
public:
    virtual ~ISessionHost() = default;

    // Writes one log-in prompt to the client as a write of its own.
    virtual void SendPrompt(std::string_view prompt) = 0;
    // Starts checking a log-in; the answer goes to CServerSession::Decided, never within this
    // call.
    virtual void CheckCredentials(const QByteArray& login, const QByteArray& password) = 0;
    // The log-in was decided: accepted, or refused (the host closes after its delay).
    virtual void LoginDecided(const QByteArray& login, bool accepted) = 0;
    // A valid tunnel line from the client, checksum byte included, to pass on to the others.
    virtual void LineReceived(std::string_view line) = 0;
    // A line thrown away (verbose detail only).
    virtual void LineDropped(std::string_view line, const char* reason) = 0;
    // The client broke the exchange; the host closes the connection with this cause.
    virtual void SessionFailed(const char* cause) = 0;
};
