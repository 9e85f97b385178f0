#include "StatusRender.h"

#include <type_traits>

namespace {
// One family: its HELP and TYPE lines.
void Family(QByteArray& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

template <typename Value>
void Sample(QByteArray& out, const char* name, Value value, const QByteArray& labels = {}) {
    out += name;
    if (!labels.isEmpty())
        out += '{' + labels + '}';
    out += ' ';
    if constexpr (std::is_floating_point_v<Value>)
        out += QByteArray::number(value, 'f', 3);
    else
        out += QByteArray::number(value);
    out += '\n';
}

// A label value as the format wants it: backslash, double quote and line feed escaped.
QByteArray LabelValue(const QString& text) {
    QByteArray value = text.toUtf8();
    value.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return value;
}

QByteArray Label(const char* name, const QByteArray& value) {
    return name + QByteArray("=\"") + value + '"';
}

template <typename Names>
void ByReason(QByteArray& out, const char* name, const auto& counts, const Names& names) {
    for (std::size_t i = 0; i < counts.size(); ++i)
        Sample(out, name, counts[i], Label("reason", names[i].label));
}
} // namespace

QByteArray MetricsText(const ServerSnapshot& s) {
    const ServerCounters& c = s.counters;
    QByteArray out;
    out.reserve(4096);
    Family(out, "kavlink_build_info", "gauge",
           "The version of kavlink-server running, as a label.");
    Sample(out, "kavlink_build_info", 1, Label("version", LabelValue(s.version)));
    Family(out, "kavlink_clients", "gauge",
           "Clients connected: logged in, or pending (awaiting log-in).");
    Sample(out, "kavlink_clients", s.loggedIn, Label("state", "logged_in"));
    Sample(out, "kavlink_clients", s.pending, Label("state", "pending"));
    Family(out, "kavlink_lines_received_total", "counter",
           "Valid tunnel lines received from logged-in clients, heartbeats not counted.");
    Sample(out, "kavlink_lines_received_total", s.linesReceived);
    Family(out, "kavlink_lines_sent_total", "counter",
           "Tunnel lines passed on to clients, one for each receiving client.");
    Sample(out, "kavlink_lines_sent_total", s.linesSent);
    Family(out, "kavlink_lines_dropped_total", "counter",
           "Lines from logged-in clients that were not relayed, by reason.");
    ByReason(out, "kavlink_lines_dropped_total", c.dropped, kDropReasons);
    Family(out, "kavlink_logins_total", "counter", "Log-ins decided, by result.");
    Sample(out, "kavlink_logins_total", c.loginsOk, Label("result", "ok"));
    Sample(out, "kavlink_logins_total", c.loginsFailed, Label("result", "failed"));
    Family(out, "kavlink_connections_refused_total", "counter",
           "Connections closed by the server's guard before log-in, by reason.");
    ByReason(out, "kavlink_connections_refused_total", c.refused, kRefusalReasons);
    Family(out, "kavlink_connections_evicted_total", "counter",
           "Connections awaiting log-in closed to make room for a newcomer, by reason.");
    ByReason(out, "kavlink_connections_evicted_total", c.evicted, kEvictionReasons);
    Family(out, "kavlink_connections_paused_total", "counter",
           "Password prompts held back a few seconds by the server's guard, by reason.");
    ByReason(out, "kavlink_connections_paused_total", c.paused, kPauseReasons);
    Family(out, "kavlink_output_bytes_waiting", "gauge",
           "Bytes waiting to be sent to clients, all clients together.");
    Sample(out, "kavlink_output_bytes_waiting", s.bytesWaiting);
    Family(out, "kavlink_accepting", "gauge",
           "1 while the server accepts connections, 0 while out of descriptors.");
    Sample(out, "kavlink_accepting", s.acceptPaused ? 0 : 1);

    const ProcessStats& p = s.process;
    Family(out, "process_cpu_seconds_total", "counter",
           "Total user and system CPU time spent in seconds.");
    Sample(out, "process_cpu_seconds_total", p.cpuSeconds);
    Family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    Sample(out, "process_resident_memory_bytes", p.residentBytes);
    Family(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
    Sample(out, "process_virtual_memory_bytes", p.virtualBytes);
    Family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
    Sample(out, "process_open_fds", p.openFds);
    Family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
    Sample(out, "process_max_fds", p.maxFds);
    Family(out, "process_start_time_seconds", "gauge",
           "Start time of the process since unix epoch in seconds.");
    Sample(out, "process_start_time_seconds", p.startTimeSeconds);
    return out;
}
