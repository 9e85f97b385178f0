#include "CServerSession.h"

#include "ISessionHost.h"
#include "TunnelLine.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr char kLoginPrompt[] = "login:";
constexpr char kPasswordPrompt[] = "password:";
} // namespace

const char* UnfitText(std::string_view line) {
    if (line.size() <= 1)
        return "empty";
    // The byte after 0x7F is the low half of an escaped byte, not a control byte.
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        if (byte == 0x7F)
            ++i;
        else if (byte < 0x20 && byte != '\t')
            return "control byte";
    }
    return nullptr;
}

bool IsHeartbeatLine(std::string_view line) {
    char field0[16] = {};
    std::size_t n = 0;
    for (const char c : line) {
        if (c == ' ' || c == '\t' || (static_cast<unsigned char>(c) & 0x80) != 0)
            break;
        if (n + 1 == sizeof field0)
            return false; // longer than any keyword we look for
        field0[n++] = c;
    }
    return HasKeyword(field0, "HEARTBEAT:");
}

CServerSession::CServerSession(ISessionHost& host) : m_host(host) {}

void CServerSession::Start() {
    m_host.SendPrompt(kLoginPrompt);
}

void CServerSession::Feed(std::string_view chunk) {
    switch (m_state) {
    case State::AwaitLogin:
    case State::PasswordPromptDue:
    case State::AwaitPassword:
    case State::Checking:
        if (m_early.size() + chunk.size() > kMaxEarlyBytes) {
            Fail("too many bytes before log-in");
            return;
        }
        m_early.append(chunk);
        ReadAnswers();
        return;
    case State::LoggedIn:
        m_framer.Append(chunk, [this](std::string_view line) { HandleLine(line); });
        return;
    case State::Refused:
    case State::Failed:
        return;
    }
}

void CServerSession::PromptFlushed() {
    if (m_state != State::PasswordPromptDue)
        return;
    m_state = State::AwaitPassword;
    m_host.SendPrompt(kPasswordPrompt);
    ReadAnswers();
}

void CServerSession::ReadAnswers() {
    QByteArray answer;
    if (m_state == State::AwaitLogin && TakeAnswer(answer)) {
        m_login = answer;
        m_state = State::PasswordPromptDue;
    }
    // The password is read only once its prompt is out.
    if (m_state == State::AwaitPassword && TakeAnswer(answer)) {
        m_state = State::Checking;
        m_host.CheckCredentials(m_login, answer);
    }
}

// Takes one answer up to its LF from the early bytes; fails the session on an overlong one.
bool CServerSession::TakeAnswer(QByteArray& answer) {
    const std::size_t lf = m_early.find('\n');
    const std::size_t length = lf == std::string::npos ? m_early.size() : lf;
    const bool cr = lf != std::string::npos && lf > 0 && m_early[lf - 1] == '\r';
    if (length - (cr ? 1 : 0) > kMaxAnswer) {
        Fail("answer too long");
        return false;
    }
    if (lf == std::string::npos)
        return false;
    answer = QByteArray(m_early.data(), static_cast<qsizetype>(length - (cr ? 1 : 0)));
    m_early.erase(0, lf + 1);
    return true;
}

void CServerSession::Decided(bool accepted) {
    if (m_state != State::Checking)
        return;
    m_state = accepted ? State::LoggedIn : State::Refused;
    std::string rest;
    rest.swap(m_early);
    m_host.LoginDecided(m_login, accepted);
    // A client may send its first lines right behind the password.
    if (accepted && m_state == State::LoggedIn && !rest.empty())
        Feed(rest);
}

void CServerSession::Fail(const char* cause) {
    m_state = State::Failed;
    std::string().swap(m_early);
    m_framer.Clear();
    m_host.SessionFailed(cause);
}

void CServerSession::HandleLine(std::string_view line) {
    // The framer hands on lines shorter than kMaxTunnelMessage; CheckTunnelLine wants a NUL.
    char copy[kMaxTunnelMessage] = {};
    std::memcpy(copy, line.data(), std::min(line.size(), sizeof copy - 1));
    if (line.size() >= sizeof copy || !CheckTunnelLine(copy)) {
        ++m_linesDropped;
        m_host.LineDropped(line, "bad checksum");
        return;
    }
    const char* unfit = UnfitText(line);
    if (unfit != nullptr) {
        ++m_linesDropped;
        ++m_linesUnfit;
        m_host.LineDropped(line, unfit);
        return;
    }
    if (IsHeartbeatLine(line)) {
        ++m_heartbeats;
        return;
    }
    ++m_linesValid;
    m_host.LineReceived(line);
}
