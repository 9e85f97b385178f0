// The hub's receive path after log-in. The same bytes fed whole and fed in random chunks must
// give the same messages in the same order, and the receive buffer must stay bounded.
#include "CDebugLog.h"
#include "CTunnelHub.h"
#include "Settings.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Relay(const std::string& bytes, std::uint32_t seed, bool whole) {
    Settings settings;
    CDebugLog log;
    CTunnelHub hub(settings, log, [] { return std::int64_t{1000}; });
    hub.SetManualTimers(true);
    std::vector<std::string> out;
    hub.SetLanSender([&](const std::string& text) {
        out.push_back(text);
        return true;
    });
    hub.OnTunnelConnected();
    hub.OnTunnelData("login:");
    hub.OnTunnelData("password:");
    if (hub.State() != TunnelState::LoggedIn)
        std::abort();
    std::mt19937 random(seed);
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t n = whole ? bytes.size() : 1 + random() % 255;
        hub.OnTunnelData(QByteArray::fromStdString(bytes.substr(at, n)));
        if (hub.ReceiveBuffered() >= kMaxTunnelMessage)
            std::abort();
        at += n;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    if (size == 0)
        return 0;
    // A chunk ends at its first NUL, so NULs cannot take part in the comparison.
    std::string bytes;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] != 0)
            bytes.push_back(static_cast<char>(data[i]));
    }
    if (Relay(bytes, data[0], true) != Relay(bytes, data[0], false))
        std::abort();
    return 0;
}
