#pragma once

#include "CTunnelFramer.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class ISessionHost;

// The server's side of one tunnel connection, without the socket: the two log-in prompts
// and answers, then the client's bytes cut into tunnel lines. Every buffer is bounded.
//
// The login and the password are checked together once the password has arrived, so a
// prober learns nothing from the first answer. The host's answer comes later, through Decided.
class CServerSession {
public:
    enum class State {
        AwaitLogin,        // "login:" sent, reading the login
        PasswordPromptDue, // login read; "password:" goes out once "login:" left the socket
        AwaitPassword,     // "password:" sent, reading the password
        Checking,          // the password is being checked; bytes after it wait
        Refused,           // wrong credentials; input ignored until the host closes
        LoggedIn,          // tunnel lines
        Failed,            // the client broke the exchange; input ignored
    };

    // An answer longer than this without its LF ends the connection.
    static constexpr std::size_t kMaxAnswer = 255;
    // Bytes a client may send ahead of the password prompt (a pipelined login and password).
    static constexpr std::size_t kMaxEarlyBytes = 2 * (kMaxAnswer + 2) + kMaxTunnelMessage;

    explicit CServerSession(ISessionHost& host);

    // Sends "login:".
    void Start();
    // Bytes from the client, in any chunking.
    void Feed(std::string_view chunk);
    // Called by the host once the "login:" prompt has left the socket.
    void PromptFlushed();
    // The host's answer to CheckCredentials; the bytes that came behind the password follow.
    void Decided(bool accepted);

    State GetState() const { return m_state; }
    bool IsLoggedIn() const { return m_state == State::LoggedIn; }
    const QByteArray& Login() const { return m_login; }
    std::size_t Buffered() const { return m_early.size() + m_framer.Buffered(); }

    std::uint64_t LinesValid() const { return m_linesValid; }
    std::uint64_t Heartbeats() const { return m_heartbeats; }
    std::uint64_t LinesDropped() const { return m_linesDropped + m_framer.Discarded(); }
    // Dropped for their length, before they were whole.
    std::uint64_t LinesTooLong() const { return m_framer.Discarded(); }
    // Dropped for an empty text or a control byte.
    std::uint64_t LinesUnfit() const { return m_linesUnfit; }
    // Every line cut from the stream, relayed or not: what the input rate counts.
    std::uint64_t LinesFramed() const { return m_linesValid + m_heartbeats + LinesDropped(); }

private:
    void ReadAnswers();
    bool TakeAnswer(QByteArray& answer);
    void Fail(const char* cause);
    void HandleLine(std::string_view line);

    ISessionHost& m_host;
    State m_state = State::AwaitLogin;
    std::string m_early; // bytes before log-in not yet taken as an answer
    QByteArray m_login;
    CTunnelFramer m_framer;
    std::uint64_t m_linesValid = 0;
    std::uint64_t m_heartbeats = 0;
    std::uint64_t m_linesDropped = 0;
    std::uint64_t m_linesUnfit = 0;
};

// Why a checked tunnel line carries no message of the logging network (nullptr when it may):
// an empty text, or a control byte other than a tab (the network's texts carry none; a
// terminal reading a log or a screen would obey them).
const char* UnfitText(std::string_view line);

// Whole-field test of field 0 (the bytes up to the first blank, tab or checksum byte) for
// "HEARTBEAT:".
bool IsHeartbeatLine(std::string_view line);
