#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Why a line from a logged-in client was not relayed.
enum class DropReason { BadChecksum, Empty, ControlByte, TooLong };
// Why a connection was closed before it could log in.
enum class RefusalReason {
    ServerFull,       // too many connections awaiting log-in in all
    AddressFull,      // too many awaiting log-in from its address
    TooFast,          // its address connects too often
    OutOfDescriptors, // closed unserved while the server had no descriptor left
    LoginPaused,      // its login is paused from its address after failures
    LoginBusy,        // its login's password checks are spoken for
    CheckQueueFull,   // every password check was taken: counted as a failed log-in
};

// Why a connection awaiting log-in was closed to make room for a newcomer (--max-pending).
enum class EvictionReason {
    NewAddress,     // for an address holding fewer
    LoggedInBefore, // for an address that logged in before
};
// Why a password prompt was held back a few seconds.
enum class PauseReason {
    AfterFailures, // its login failed lately from its address
    LoginBudget,   // its login's checks were spoken for by other addresses
};

struct ReasonName {
    const char* label; // for the metrics and the JSON
    const char* text;  // for a person
};
inline constexpr std::array<ReasonName, 4> kDropReasons = {{
    {"bad_checksum", "bad checksum"},
    {"empty", "empty"},
    {"control_byte", "control byte"},
    {"too_long", "too long"},
}};
inline constexpr std::array<ReasonName, 7> kRefusalReasons = {{
    {"server_full", "too many awaiting log-in"},
    {"address_full", "too many awaiting log-in from one address"},
    {"too_fast", "connecting too often"},
    {"out_of_descriptors", "out of descriptors"},
    {"login_paused", "login paused after failures"},
    {"login_busy", "login's checks spoken for"},
    {"check_queue_full", "every password check taken"},
}};

inline constexpr std::array<ReasonName, 2> kEvictionReasons = {{
    {"new_address", "for an address holding fewer"},
    {"logged_in_before", "for an address that logged in before"},
}};
inline constexpr std::array<ReasonName, 2> kPauseReasons = {{
    {"after_failures", "after failed log-ins"},
    {"login_budget", "login's checks spoken for"},
}};

// The reason a session names in text; an unknown text counts as a bad checksum.
DropReason DropReasonOf(const char* text);

// What the server counts from its start, beside its lines in and out.
struct ServerCounters {
    std::array<std::uint64_t, kDropReasons.size()> dropped{};
    std::array<std::uint64_t, kRefusalReasons.size()> refused{};
    std::array<std::uint64_t, kEvictionReasons.size()> evicted{};
    std::array<std::uint64_t, kPauseReasons.size()> paused{};
    std::uint64_t loginsOk = 0;
    std::uint64_t loginsFailed = 0;

    void Count(DropReason reason, std::uint64_t n = 1) {
        dropped[static_cast<std::size_t>(reason)] += n;
    }
    void Count(RefusalReason reason, std::uint64_t n = 1) {
        refused[static_cast<std::size_t>(reason)] += n;
    }
    void Count(EvictionReason reason, std::uint64_t n = 1) {
        evicted[static_cast<std::size_t>(reason)] += n;
    }
    void Count(PauseReason reason, std::uint64_t n = 1) {
        paused[static_cast<std::size_t>(reason)] += n;
    }
};

// The process as /proc/self shows it.
struct ProcessStats {
    qint64 residentBytes = 0;
    qint64 virtualBytes = 0;
    double cpuSeconds = 0;
    qint64 openFds = 0;
    qint64 maxFds = 0;
    double startTimeSeconds = 0; // since 1970-01-01 UTC
};

// The server's state at one moment, as the status page, the JSON and the metrics show it.
// It holds no password: a login appears only once it was accepted.
struct ServerSnapshot {
    struct Connection {
        QString peer; // address:port
        bool loggedIn = false;
        QByteArray login; // empty while awaiting log-in: an unchecked answer may be a password
        QDateTime loggedInSince;
        std::uint64_t linesIn = 0;
        std::uint64_t linesOut = 0;
        std::uint64_t linesInLastMinute = 0;
        std::uint64_t linesOutLastMinute = 0;
        qint64 bytesWaiting = 0;
        bool tls = false;
    };
    // An address refused, slowed or evicted lately, with its counts over the last 15 minutes.
    struct Trouble {
        QString address; // IPv4, an IPv6 /64, or empty for those past the table's bound
        std::uint64_t refused = 0;
        std::uint64_t failedLogins = 0;
        std::uint64_t slowed = 0;
        std::uint64_t evicted = 0; // its waiting connections closed for newcomers
    };

    QString version;
    QDateTime upSince;
    QDateTime takenAt;
    QString listenAddress; // empty: all addresses
    quint16 port = 0;
    quint16 tlsPort = 0; // 0: no TLS port
    bool acceptPaused = false;
    int loggedIn = 0;
    int pending = 0;
    std::uint64_t linesReceived = 0;
    std::uint64_t linesSent = 0;
    ServerCounters counters;
    qint64 bytesWaiting = 0;
    std::vector<Connection> connections; // the logged-in first, each kind oldest first
    int connectionsNotShown = 0;
    std::vector<Trouble> troubles; // most events first
    int troublesNotShown = 0;
    ProcessStats process;
};
