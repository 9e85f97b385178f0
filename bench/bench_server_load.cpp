// Load and attacks against a tunnel server on loopback, from many source addresses in
// 127.0.0.0/8, for bench_server.sh. Plain epoll, so the clients cost the machine little next to
// the server they measure. Each run is bounded in count and time and prints "key value" lines.
//
//   fanout  --clients N --lines L      N clients, one line a second from one of them; with
//           --scrape-port P, GET /metrics from that port ten times a second meanwhile
//   lockout --silent N --legit M       one address holds N silent connections; M others log in
//   guess   --parallel P --seconds S   password guessing from one address, and a real log-in
//   slow    --clients N --seconds S    N logged-in clients that never read, one fast sender
//   churn   --seconds S                connect and close from one address as fast as it goes
//   hold    --clients N --seconds S    N connections held open, then one log-in
//   storm   --clients N                N clients connecting at once, retrying after a refusal
//   login                              one log-in: answered at once or not
//   connects --parallel P --seconds S  new connections to the "login:" prompt, P at a time
//   throughput --seconds S             lines from one logged-in client to another, flat out
//   freeport                           prints a free loopback port
//
// Common: --port P (127.0.0.1), --login (answer the server's prompts; without it the server is
// a plain broker), --user NAME --password PW, --pid PID (the server, for its CPU and memory),
// --tls (fanout, connects, throughput, storm: every client over TLS, as Kavlink would, through
// OpenSSL driven by the same epoll loop; a full handshake each, no session resumed).
#include "TunnelLine.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifdef KAVLINK_BENCH_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#endif

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Args {
    std::map<std::string, std::string> values;
    std::string Get(const std::string& key, const std::string& fallback = "") const {
        const auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
    long Num(const std::string& key, long fallback) const {
        const auto it = values.find(key);
        return it == values.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
    }
    bool Has(const std::string& key) const { return values.count(key) != 0; }
};

Args g_args;
int g_port = 0;
bool g_login = false;
std::string g_user = "bench";
std::string g_password = "bench";
const std::string kPrompts = "login:password:";

#ifdef KAVLINK_BENCH_TLS
SSL_CTX* g_tls = nullptr; // set with --tls
#else
struct SSL;
#endif

// Source address number i: 127.<base>.x.y, so per-address limits see distinct clients.
std::string Source(int base, int i) {
    return "127." + std::to_string(base) + "." + std::to_string(i / 250 % 256) + "." +
           std::to_string(i % 250 + 1);
}

int Open(const std::string& source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        ::close(fd);
        return -1;
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(g_port));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One client connection and what it has seen.
struct Conn {
    int fd = -1;
    int epoll = -1; // the loop that watches it
    int id = 0;
    std::string source;
    std::string in;             // bytes received
    bool answered = false;      // log-in answers sent
    bool closed = false;        // the server closed it
    Clock::time_point opened;   // when the connect started
    Clock::time_point sentAt;   // when the password went (guess)
    std::vector<double> arrive; // fanout: ms of each line's arrival after its sending
    SSL* ssl = nullptr;         // with --tls
    bool handshaken = false;
    std::string out; // with --tls: bytes for the server that TLS has not taken yet
};

void Drop(Conn& c) {
#ifdef KAVLINK_BENCH_TLS
    if (c.ssl) {
        SSL_free(c.ssl);
        c.ssl = nullptr;
    }
#endif
    if (c.fd >= 0) {
        epoll_ctl(c.epoll, EPOLL_CTL_DEL, c.fd, nullptr);
        ::close(c.fd);
        c.fd = -1;
    }
}

void Fail(Conn& c) {
    c.closed = true;
    Drop(c);
}

#ifdef KAVLINK_BENCH_TLS
// Write readiness only while TLS waits for room in the socket: it has room nearly always, and
// a loop woken for it spins beside the server it measures.
void WatchTls(Conn& c, bool write) {
    epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP | (write ? EPOLLOUT : 0u);
    ev.data.ptr = &c;
    epoll_ctl(c.epoll, EPOLL_CTL_MOD, c.fd, &ev);
}

// Encrypts what waits, as far as the socket takes it; false once the connection failed.
bool FlushTls(Conn& c) {
    bool full = false;
    while (!c.out.empty()) {
        const int n = SSL_write(c.ssl, c.out.data(),
                                static_cast<int>(std::min<std::size_t>(c.out.size(), 16384)));
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        const int error = SSL_get_error(c.ssl, n);
        ERR_clear_error();
        if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ)
            return false;
        full = error == SSL_ERROR_WANT_WRITE;
        break;
    }
    WatchTls(c, full);
    return true;
}

// The handshake's next step, what waits to be sent, then whatever the server sent.
void ServeTls(Conn& c) {
    if (!c.handshaken) {
        const int r = SSL_do_handshake(c.ssl);
        if (r != 1) {
            const int error = SSL_get_error(c.ssl, r);
            ERR_clear_error();
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
                WatchTls(c, error == SSL_ERROR_WANT_WRITE);
            else
                Fail(c);
            return;
        }
        c.handshaken = true;
    }
    if (!FlushTls(c)) {
        Fail(c);
        return;
    }
    char buffer[65536];
    for (;;) {
        const int got = SSL_read(c.ssl, buffer, sizeof buffer);
        if (got > 0) {
            c.in.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        const int error = SSL_get_error(c.ssl, got);
        ERR_clear_error();
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            Fail(c);
        return;
    }
}
#else
void ServeTls(Conn& c) {
    Fail(c);
}
#endif

class Loop {
public:
    Loop() : m_epoll(epoll_create1(EPOLL_CLOEXEC)) {}
    ~Loop() {
        for (Conn* c : m_conns)
            Drop(*c);
        ::close(m_epoll);
    }
    Conn* Add(const std::string& source, int id) {
        const int fd = Open(source);
        if (fd < 0)
            return nullptr;
        auto* c = new Conn;
        c->fd = fd;
        c->epoll = m_epoll;
        c->id = id;
        c->source = source;
        c->opened = Clock::now();
#ifdef KAVLINK_BENCH_TLS
        if (g_tls) {
            c->ssl = SSL_new(g_tls);
            SSL_set_fd(c->ssl, fd);
            SSL_set_connect_state(c->ssl);
        }
#endif
        epoll_event ev = {};
        // A TLS client speaks first, once connected.
        ev.events = EPOLLIN | EPOLLRDHUP | (c->ssl ? EPOLLOUT : 0u);
        ev.data.ptr = c;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
        m_conns.push_back(c);
        return c;
    }
    // Waits up to ms for events; calls onData(conn) after bytes arrived or the peer closed.
    template <typename F> void Run(int ms, F onData) {
        epoll_event events[512];
        const int n = epoll_wait(m_epoll, events, 512, ms);
        for (int i = 0; i < n; ++i) {
            Conn& c = *static_cast<Conn*>(events[i].data.ptr);
            if (c.fd < 0)
                continue;
            if (c.ssl) {
                ServeTls(c);
                onData(c);
                continue;
            }
            char buffer[65536];
            for (;;) {
                const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
                if (got > 0) {
                    c.in.append(buffer, static_cast<std::size_t>(got));
                    continue;
                }
                if (got == 0 || (errno != EAGAIN && errno != EINTR))
                    Fail(c);
                break;
            }
            onData(c);
        }
    }
    std::vector<Conn*>& Conns() {
        return m_conns;
    }
    void Clear() {
        for (Conn* c : m_conns) {
            Drop(*c);
            delete c;
        }
        m_conns.clear();
    }

private:
    int m_epoll;
    std::vector<Conn*> m_conns;
};

// Bytes for the server; over TLS they wait for the handshake and for room in the socket.
bool Send(Conn& c, const std::string& bytes) {
    if (c.fd < 0)
        return false;
    if (!c.ssl)
        return ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
#ifdef KAVLINK_BENCH_TLS
    c.out += bytes;
    if (c.handshaken && !FlushTls(c)) {
        Fail(c);
        return false;
    }
#endif
    return true;
}

// Answers both prompts at once once "login:" is in; true once both prompts arrived.
bool LoginStep(Conn& c, const std::string& user, const std::string& password) {
    if (!g_login)
        return true;
    if (!c.answered && c.in.size() >= 6) {
        c.answered = true;
        Send(c, user + "\n" + password + "\n");
    }
    return c.in.size() >= kPrompts.size();
}

std::string Line(int number, std::size_t size) {
    std::string text = "ADDQSO: \"BENCH\" \"\" " + std::to_string(number) + " ";
    text.append(size > text.size() + 1 ? size - text.size() - 1 : 0, 'q');
    EncodeTunnelLine(text);
    return text;
}

// The server's CPU seconds (user + system) from /proc.
double CpuSeconds(long pid) {
    if (pid <= 0)
        return 0;
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return 0;
    char buffer[2048] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    buffer[n] = 0;
    const char* p = std::strrchr(buffer, ')');
    unsigned long utime = 0, stime = 0;
    if (p)
        std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long StatusKiB(long pid, const char* field) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, std::strlen(field)) == 0)
            value = std::strtol(line + std::strlen(field) + 1, nullptr, 10);
    }
    std::fclose(f);
    return value;
}

// In: logged in (the prompts came) with --login, else connected.
bool IsIn(const Conn& c) {
    if (c.closed || c.fd < 0)
        return false;
    if (g_login)
        return c.in.size() >= kPrompts.size();
    tcp_info info = {};
    socklen_t size = sizeof info;
    getsockopt(c.fd, IPPROTO_TCP, TCP_INFO, &info, &size);
    return info.tcpi_state == TCP_ESTABLISHED;
}

// Opens count clients, at most `window` connecting at a time, from `perAddress` clients per
// source address; returns how many are in (connected, and logged in with --login).
int OpenMany(Loop& loop, int count, int base, int perAddress, int deadlineMs) {
    const auto start = Clock::now();
    int opened = 0;
    int ready = 0;
    constexpr int kWindow = 400;
    while (Ms(start, Clock::now()) < deadlineMs) {
        while (opened < count && opened - ready < kWindow) {
            Conn* c = loop.Add(Source(base, opened / perAddress + 1), opened);
            ++opened;
            if (c == nullptr)
                break;
        }
        loop.Run(20, [](Conn& c) { LoginStep(c, g_user, g_password); });
        int in = 0;
        for (Conn* c : loop.Conns())
            in += IsIn(*c) ? 1 : 0;
        if (opened >= count && in >= count)
            return in;
        ready = in;
    }
    int in = 0;
    for (Conn* c : loop.Conns())
        in += IsIn(*c) ? 1 : 0;
    return in;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// One GET /metrics on a connection of its own: true for a whole 200 answer within 2 s.
bool FetchMetrics(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const timeval limit = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string in;
    std::size_t whole = std::string::npos;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[16384];
        ssize_t n = 0;
        while (whole == std::string::npos || in.size() < whole) {
            n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            in.append(buffer, static_cast<std::size_t>(n));
            const std::size_t head = in.find("\r\n\r\n");
            const std::size_t length = in.find("Content-Length: ");
            if (whole == std::string::npos && head != std::string::npos && length < head)
                whole = head + 4 + std::strtoul(in.c_str() + length + 16, nullptr, 10);
        }
    }
    ::close(fd);
    return whole != std::string::npos && in.size() >= whole && in.rfind("HTTP/1.1 200", 0) == 0 &&
           in.find("\nkavlink_clients{") != std::string::npos;
}

// GETs /metrics ten times a second, a connection each, until told to stop.
struct Scraper {
    std::vector<double> took;
    int failed = 0;
    std::atomic<bool> stop{false};
    std::thread thread;

    void Start(int port) {
        thread = std::thread([this, port] {
            const auto start = Clock::now();
            for (int i = 0; !stop; ++i) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * i));
                const auto sent = Clock::now();
                if (FetchMetrics(port))
                    took.push_back(Ms(sent, Clock::now()));
                else
                    ++failed;
            }
        });
    }
    void Stop() {
        stop = true;
        thread.join();
        std::printf("scrapes %zu\nscrapes_failed %d\nscrape_p50_ms %.1f\nscrape_p99_ms %.1f\n",
                    took.size(), failed, Percentile(took, 0.5), Percentile(took, 0.99));
    }
};

int Fanout() {
    const int clients = static_cast<int>(g_args.Num("clients", 1000));
    const int lines = static_cast<int>(g_args.Num("lines", 10));
    const long pid = g_args.Num("pid", 0);
    Loop loop;
    const long rss0 = StatusKiB(pid, "VmRSS:");
    const auto t0 = Clock::now();
    const int in = OpenMany(loop, clients, 1, 25, 90000);
    std::printf("held %d\nconnect_s %.1f\n", in, Ms(t0, Clock::now()) / 1000);
    // What the server holds for its idle clients, once it has settled.
    for (const auto settle = Clock::now(); Ms(settle, Clock::now()) < 1000;)
        loop.Run(50, [](Conn&) {});
    std::printf("rss_before_kib %ld\nrss_idle_kib %ld\n", rss0, StatusKiB(pid, "VmRSS:"));
    std::vector<Conn*> live;
    for (Conn* c : loop.Conns()) {
        if (!c->closed && c->fd >= 0) {
            c->in.clear();
            c->arrive.clear();
            live.push_back(c);
        }
    }
    if (live.size() < 2)
        return 0;
    Conn* sender = live[0];
    const std::size_t lineSize = 100;
    std::vector<Clock::time_point> sentAt;
    Scraper scraper;
    if (g_args.Has("scrape-port"))
        scraper.Start(static_cast<int>(g_args.Num("scrape-port", 0)));
    const double cpu0 = CpuSeconds(g_args.Num("pid", 0));
    const auto start = Clock::now();
    while (Ms(start, Clock::now()) < (lines + 2) * 1000.0) {
        const int due = static_cast<int>(Ms(start, Clock::now()) / 1000);
        if (static_cast<int>(sentAt.size()) < lines && static_cast<int>(sentAt.size()) <= due) {
            sentAt.push_back(Clock::now());
            Send(*sender, Line(static_cast<int>(sentAt.size()), lineSize));
        }
        // Look every half millisecond instead of sleeping in epoll_wait: a sleeping reader is
        // woken by each of the server's sends and preempts it, which no remote client does.
        usleep(500);
        loop.Run(0, [&](Conn& c) {
            const auto now = Clock::now();
            while (c.arrive.size() < sentAt.size() &&
                   c.in.size() >= (c.arrive.size() + 1) * lineSize)
                c.arrive.push_back(Ms(sentAt[c.arrive.size()], now));
        });
    }
    const double cpu = CpuSeconds(g_args.Num("pid", 0)) - cpu0;
    if (scraper.thread.joinable())
        scraper.Stop();
    std::vector<double> all;
    long inTime = 0;
    int served = 0;
    for (Conn* c : live) {
        if (c == sender)
            continue;
        served += static_cast<int>(c->arrive.size()) == lines ? 1 : 0;
        for (const double ms : c->arrive) {
            all.push_back(ms);
            inTime += ms <= 1000 ? 1 : 0;
        }
    }
    const double expected = static_cast<double>(lines) * static_cast<double>(live.size() - 1);
    std::printf("served %d\n", served);
    std::printf("p50_ms %.1f\np99_ms %.1f\nmax_ms %.1f\nin_time_pct %.1f\ncpu_pct %.0f\n",
                Percentile(all, 0.5), Percentile(all, 0.99), Percentile(all, 1.0),
                100.0 * static_cast<double>(inTime) / expected,
                100.0 * cpu / (Ms(start, Clock::now()) / 1000));
    return 0;
}

// A real user logging in from a fresh address; ms until the server took the password (the
// prompts arrived and the connection stays), or -1.
double TimedLogin(const std::string& source, int waitMs) {
    Loop loop;
    Conn* c = loop.Add(source, 0);
    if (!c)
        return -1;
    const auto start = Clock::now();
    double promptsMs = -1;
    while (Ms(start, Clock::now()) < waitMs) {
        loop.Run(10, [&](Conn& conn) {
            if (LoginStep(conn, g_user, g_password) && promptsMs < 0)
                promptsMs = Ms(start, Clock::now());
        });
        if (c->closed)
            return -1;
        // Accepted: the server sends heartbeats (--heartbeat 1) and does not close.
        if (promptsMs >= 0 && c->in.size() > kPrompts.size())
            return promptsMs;
    }
    return -1;
}

// The attacker keeps `silent` connections that the server has accepted (they got "login:"),
// re-opening closed ones, paced so the listen queue does not overflow; then 64 users from
// other addresses log in while it goes on.
int Lockout() {
    const int silent = static_cast<int>(g_args.Num("silent", 256));
    const int legit = static_cast<int>(g_args.Num("legit", 64));
    Loop loop;
    std::vector<Conn*> users;
    int ok = 0;
    int held = 0;
    const auto start = Clock::now();
    while (Ms(start, Clock::now()) < 10000) {
        held = 0;
        int open = 0;
        for (Conn* c : loop.Conns()) {
            if (c->id >= 0 && c->fd >= 0) {
                ++open;
                held += c->in.empty() ? 0 : 1;
            }
        }
        for (int i = open; i < silent && i < open + 20; ++i)
            loop.Add("127.2.0.1", i);
        if (users.empty() && Ms(start, Clock::now()) >= 3000) {
            for (int i = 0; i < legit; ++i)
                users.push_back(loop.Add(Source(3, i), -1 - i));
        }
        loop.Run(10, [](Conn& c) {
            if (c.id < 0)
                LoginStep(c, g_user, g_password);
        });
        ok = 0;
        int decided = 0;
        for (Conn* c : users) {
            const bool in = c && c->in.size() > kPrompts.size(); // a heartbeat: logged in
            ok += in ? 1 : 0;
            decided += (in || !c || c->closed) ? 1 : 0;
        }
        if (!users.empty() && decided == legit)
            break;
    }
    std::printf("silent_held %d\nlegit_ok %d\nlegit %d\n", held, ok, legit);
    return 0;
}

int Guess() {
    const int parallel = static_cast<int>(g_args.Num("parallel", 250));
    const int seconds = static_cast<int>(g_args.Num("seconds", 30));
    const int secret = static_cast<int>(g_args.Num("secret", 9990));
    Loop loop;
    int next = 0;
    long answered = 0;
    long found = -1;
    double legitMs = -2;
    const auto start = Clock::now();
    while (Ms(start, Clock::now()) < seconds * 1000.0 && found < 0) {
        int open = 0;
        for (Conn* c : loop.Conns())
            open += c->fd >= 0;
        for (int i = open; i < parallel; ++i)
            loop.Add("127.4.0.1", i);
        loop.Run(20, [&](Conn& c) {
            if (!c.answered && c.in.size() >= 6 && c.in.compare(0, 6, "login:") == 0) {
                c.answered = true;
                Send(c, g_user + "\n");
            }
            if (c.sentAt == Clock::time_point() && c.in.size() >= kPrompts.size()) {
                char guess[16];
                std::snprintf(guess, sizeof guess, "%04d\n", next++ % 10000);
                c.id = next - 1;
                c.sentAt = Clock::now();
                Send(c, guess);
            }
            if (c.sentAt != Clock::time_point() && c.closed)
                ++answered;
            else if (c.sentAt != Clock::time_point() && c.in.size() > kPrompts.size())
                found = c.id; // a heartbeat: logged in
        });
        // Reap closed connections so the vector stays small.
        auto& conns = loop.Conns();
        conns.erase(std::remove_if(conns.begin(), conns.end(),
                                   [](Conn* c) {
                                       const bool gone = c->fd < 0;
                                       if (gone)
                                           delete c;
                                       return gone;
                                   }),
                    conns.end());
        if (legitMs == -2 && Ms(start, Clock::now()) > seconds * 500.0) {
            const std::string keep = g_password;
            g_password = std::to_string(secret);
            legitMs = TimedLogin("127.4.1.1", 5000);
            g_password = keep;
        }
    }
    const double elapsed = Ms(start, Clock::now()) / 1000;
    std::printf("answered %ld\nseconds %.1f\nguesses_per_s %.2f\nfound_at %ld\nlegit_ms %.0f\n",
                answered, elapsed, static_cast<double>(answered) / elapsed, found, legitMs);
    return 0;
}

int Slow() {
    const int clients = static_cast<int>(g_args.Num("clients", 300));
    const int seconds = static_cast<int>(g_args.Num("seconds", 10));
    const long pid = g_args.Num("pid", 0);
    Loop loop;
    const int in = OpenMany(loop, clients + 1, 5, 25, 30000);
    for (Conn* c : loop.Conns()) {
        const int small = 4096;
        if (c != loop.Conns()[0] && c->fd >= 0)
            setsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small); // never read again
    }
    Conn* sender = loop.Conns()[0];
    const std::string burst = [] {
        std::string all;
        for (int i = 0; i < 64; ++i)
            all += Line(i, 1000);
        return all;
    }();
    const long rss0 = StatusKiB(pid, "VmRSS:");
    const auto start = Clock::now();
    while (Ms(start, Clock::now()) < seconds * 1000.0) {
        ::send(sender->fd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        char sink[65536];
        while (::recv(sender->fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        usleep(1000);
    }
    std::printf("held %d\nrss_before_kib %ld\nrss_kib %ld\nhwm_kib %ld\n", in, rss0,
                StatusKiB(pid, "VmRSS:"), StatusKiB(pid, "VmHWM:"));
    return 0;
}

int Churn() {
    const int seconds = static_cast<int>(g_args.Num("seconds", 5));
    const auto start = Clock::now();
    long count = 0;
    while (Ms(start, Clock::now()) < seconds * 1000.0) {
        const int fd = Open("127.6.0.1");
        if (fd < 0)
            continue;
        usleep(200);
        ::close(fd);
        ++count;
    }
    std::printf("churn_connects %ld\n", count);
    return 0;
}

int Hold() {
    const int clients = static_cast<int>(g_args.Num("clients", 100));
    const int seconds = static_cast<int>(g_args.Num("seconds", 5));
    const long pid = g_args.Num("pid", 0);
    const double cpu0 = CpuSeconds(pid);
    {
        Loop loop;
        const auto start = Clock::now();
        for (int i = 0; i < clients; ++i)
            loop.Add(Source(7, i / 25 + 1), i);
        while (Ms(start, Clock::now()) < seconds * 1000.0)
            loop.Run(50, [](Conn& c) { LoginStep(c, g_user, g_password); });
        std::printf("cpu_pct %.0f\n", 100.0 * (CpuSeconds(pid) - cpu0) / seconds);
    }
    usleep(1500 * 1000); // the server's pause ends, descriptors are free again
    std::printf("recovered %s\n", TimedLogin("127.7.200.1", 3000) >= 0 ? "yes" : "no");
    return 0;
}

int Storm() {
    const int clients = static_cast<int>(g_args.Num("clients", 2000));
    Loop loop;
    const auto start = Clock::now();
    for (int i = 0; i < clients; ++i)
        loop.Add(Source(8, i / 25 + 1), i);
    long resets = 0;
    int in = 0;
    std::vector<Clock::time_point> retryAt;
    std::vector<int> retryIds;
    while (Ms(start, Clock::now()) < 60000 && in < clients) {
        loop.Run(20, [&](Conn& c) {
            LoginStep(c, g_user, g_password);
            if (c.closed && (!g_login || c.in.size() < kPrompts.size())) {
                ++resets;
                retryAt.push_back(Clock::now() + std::chrono::seconds(1));
                retryIds.push_back(c.id);
            }
        });
        for (std::size_t i = 0; i < retryAt.size();) {
            if (Clock::now() >= retryAt[i]) {
                loop.Add(Source(8, retryIds[i] / 25 + 1), retryIds[i]);
                retryAt.erase(retryAt.begin() + static_cast<long>(i));
                retryIds.erase(retryIds.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
        in = 0;
        for (Conn* c : loop.Conns())
            in += IsIn(*c) ? 1 : 0;
    }
    std::printf("in %d\nresets %ld\nall_in_s %.1f\n", in, resets, Ms(start, Clock::now()) / 1000);
    return 0;
}

// A free loopback port for a server that cannot report its own (its log may be blocked).
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
    socklen_t size = sizeof at;
    ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
    std::printf("%d\n", ntohs(at.sin_port));
    ::close(fd);
    return 0;
}

// New connections to the "login:" prompt, `parallel` at a time from 250 addresses, each
// closed once its prompt came; over TLS each is a full handshake.
int Connects() {
    const int parallel = static_cast<int>(g_args.Num("parallel", 64));
    const int seconds = static_cast<int>(g_args.Num("seconds", 10));
    const long pid = g_args.Num("pid", 0);
    Loop loop;
    long prompts = 0;
    long failed = 0;
    int next = 0;
    const double cpu0 = CpuSeconds(pid);
    const auto start = Clock::now();
    while (Ms(start, Clock::now()) < seconds * 1000.0) {
        auto& conns = loop.Conns();
        for (int open = static_cast<int>(conns.size()); open < parallel; ++open, ++next)
            loop.Add(Source(10, next % 250), next);
        loop.Run(10, [&](Conn& c) {
            if (c.in.size() >= 6 && c.fd >= 0) {
                ++prompts;
                Drop(c);
            } else if (c.closed) {
                ++failed;
            }
        });
        conns.erase(std::remove_if(conns.begin(), conns.end(),
                                   [](Conn* c) {
                                       const bool gone = c->fd < 0;
                                       if (gone)
                                           delete c;
                                       return gone;
                                   }),
                    conns.end());
    }
    const double elapsed = Ms(start, Clock::now()) / 1000;
    std::printf("prompts %ld\nfailed %ld\nper_s %.0f\ncpu_pct %.0f\n", prompts, failed,
                static_cast<double>(prompts) / elapsed, 100.0 * (CpuSeconds(pid) - cpu0) / elapsed);
    return 0;
}

// Lines of 84 bytes from one logged-in client to another as fast as the server passes them,
// with at most 256 KiB on the way so that the receiver is never cut as a slow reader.
int Throughput() {
    const int seconds = static_cast<int>(g_args.Num("seconds", 10));
    const long pid = g_args.Num("pid", 0);
    Loop loop;
    if (OpenMany(loop, 2, 11, 1, 10000) < 2) {
        std::printf("lines_per_s -1\n");
        return 0;
    }
    Conn& sender = *loop.Conns()[0];
    Conn& receiver = *loop.Conns()[1];
    const std::string line = Line(0, 84);
    std::string batch;
    for (int i = 0; i < 64; ++i)
        batch += line;
    receiver.in.clear();
    long long sent = 0;
    long long received = 0; // bytes
    const double cpu0 = CpuSeconds(pid);
    const auto start = Clock::now();
    while (Ms(start, Clock::now()) < seconds * 1000.0 && !receiver.closed && !sender.closed) {
        while (sent - received < 256LL * 1024 && sender.out.size() < std::size_t{64} * 1024) {
            Send(sender, batch);
            sent += static_cast<long long>(batch.size());
        }
        loop.Run(1, [&](Conn& c) {
            if (&c == &receiver) {
                received += static_cast<long long>(c.in.size());
                c.in.clear();
            }
        });
    }
    const double elapsed = Ms(start, Clock::now()) / 1000;
    const double lines = static_cast<double>(received) / static_cast<double>(line.size());
    std::printf("lines_per_s %.0f\nmb_per_s %.1f\ncpu_pct %.0f\n", lines / elapsed,
                static_cast<double>(received) / elapsed / 1e6,
                100.0 * (CpuSeconds(pid) - cpu0) / elapsed);
    return 0;
}

int Login() {
    std::printf("login_ms %.0f\n",
                TimedLogin("127.9.0.1", static_cast<int>(g_args.Num("wait", 3000))));
    return 0;
}
} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s fanout|lockout|guess|slow|churn|hold|storm|login|connects|"
                     "throughput ...\n",
                     argv[0]);
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        std::string key = argv[i];
        if (key.rfind("--", 0) != 0)
            continue;
        key = key.substr(2);
        const bool flag = i + 1 >= argc || std::strncmp(argv[i + 1], "--", 2) == 0;
        g_args.values[key] = flag ? "1" : argv[++i];
    }
    rlimit limit = {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    g_port = static_cast<int>(g_args.Num("port", 10368));
    g_login = g_args.Has("login");
    g_user = g_args.Get("user", g_user);
    g_password = g_args.Get("password", g_password);
    if (g_args.Has("tls")) {
#ifdef KAVLINK_BENCH_TLS
        // The server's certificate is not checked: what is measured is the server's work.
        g_tls = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(g_tls, TLS1_2_VERSION);
        SSL_CTX_set_verify(g_tls, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_session_cache_mode(g_tls, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_mode(g_tls,
                         SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
#else
        std::fprintf(stderr, "built without OpenSSL: no --tls\n");
        return 3;
#endif
    }
    const std::string command = argv[1];
    const std::map<std::string, int (*)()> commands = {
        {"fanout", Fanout},     {"lockout", Lockout},   {"guess", Guess},          {"slow", Slow},
        {"churn", Churn},       {"hold", Hold},         {"storm", Storm},          {"login", Login},
        {"freeport", FreePort}, {"connects", Connects}, {"throughput", Throughput}};
    const auto it = commands.find(command);
    if (it == commands.end()) {
        std::fprintf(stderr, "unknown command %s\n", command.c_str());
        return 2;
    }
    return it->second();
}
