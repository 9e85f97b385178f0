// The server's receive path for one connection, fed arbitrary bytes in arbitrary chunks,
// before and after log-in. Input: one mode byte (bit 0: accept any credentials, else only
// "u" / "p"), then chunks, each a length byte (low 7 bits; bit 7: the "login:" prompt has
// left the socket after this chunk) followed by that many bytes.
#include "CServerSession.h"
#include "ISessionHost.h"
#include "TunnelLine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant failed: %s (line %d)\n", #condition, __LINE__);        \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

class Host : public ISessionHost {
public:
    explicit Host(bool anyLogin) : m_anyLogin(anyLogin) {}
    CServerSession* session = nullptr;
    std::string prompts;
    int checks = 0;
    int answer = -1; // due from CheckCredentials: 1 accepted, 0 refused
    bool decided = false;
    bool failed = false;

    void SendPrompt(std::string_view prompt) override {
        FUZZ_CHECK(!failed && !decided);
        if (prompts.empty())
            FUZZ_CHECK(prompt == "login:");
        else
            FUZZ_CHECK(prompts == "login:" && prompt == "password:");
        prompts.append(prompt);
    }
    // The answer comes after the call, as the server's does.
    void CheckCredentials(const QByteArray& login, const QByteArray& password) override {
        FUZZ_CHECK(prompts == "login:password:" && ++checks == 1);
        FUZZ_CHECK(login.size() <= 255 && password.size() <= 255);
        FUZZ_CHECK(!login.contains('\n') && !password.contains('\n'));
        answer = m_anyLogin || (login == "u" && password == "p") ? 1 : 0;
    }
    void LoginDecided(const QByteArray&, bool) override {
        FUZZ_CHECK(checks == 1 && !decided);
        decided = true;
    }
    void LineReceived(std::string_view line) override {
        FUZZ_CHECK(session->IsLoggedIn() && !failed);
        FUZZ_CHECK(!line.empty() && line.size() < kMaxTunnelMessage);
        const std::string copy(line);
        FUZZ_CHECK(CheckTunnelLine(copy.c_str()) && copy.size() == std::strlen(copy.c_str()));
        FUZZ_CHECK(!IsHeartbeatLine(line));
    }
    void LineDropped(std::string_view line, const char*) override {
        FUZZ_CHECK(session->IsLoggedIn() && line.size() < kMaxTunnelMessage);
    }
    void SessionFailed(const char*) override {
        FUZZ_CHECK(!failed);
        failed = true;
    }

private:
    bool m_anyLogin;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    Host host((data[0] & 1) != 0);
    CServerSession session(host);
    host.session = &session;
    session.Start();
    std::size_t at = 1;
    while (at < size) {
        const std::size_t length = std::min<std::size_t>(data[at] & 0x7F, size - at - 1);
        const bool flushed = (data[at] & 0x80) != 0;
        session.Feed(std::string_view(reinterpret_cast<const char*>(data + at + 1), length));
        if (flushed)
            session.PromptFlushed();
        if (host.answer >= 0) {
            FUZZ_CHECK(session.GetState() == CServerSession::State::Checking);
            const bool accepted = host.answer == 1;
            host.answer = -1;
            session.Decided(accepted);
        }
        at += 1 + length;
        FUZZ_CHECK(session.Buffered() <= CServerSession::kMaxEarlyBytes + kMaxTunnelMessage);
        if (session.IsLoggedIn())
            FUZZ_CHECK(host.decided && host.checks == 1);
        FUZZ_CHECK(host.failed == (session.GetState() == CServerSession::State::Failed));
    }
    return 0;
}
