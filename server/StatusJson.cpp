#include "StatusRender.h"

#include "LogText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
QJsonValue Count(std::uint64_t n) {
    return QJsonValue(static_cast<qint64>(n));
}

template <typename Names> QJsonObject ByReason(const auto& counts, const Names& names) {
    QJsonObject object;
    for (std::size_t i = 0; i < counts.size(); ++i)
        object.insert(QLatin1String(names[i].label), Count(counts[i]));
    return object;
}

QJsonObject ServerPart(const ServerSnapshot& s) {
    return {
        {"version", s.version},
        {"up_since", LogTimestamp(s.upSince)},
        {"as_of", LogTimestamp(s.takenAt)},
        {"listen_address", s.listenAddress.isEmpty() ? QJsonValue() : QJsonValue(s.listenAddress)},
        {"port", s.port == 0 ? QJsonValue() : QJsonValue(s.port)},
        {"tls_port", s.tlsPort == 0 ? QJsonValue() : QJsonValue(s.tlsPort)},
        {"accepting", !s.acceptPaused},
    };
}

QJsonObject TotalsPart(const ServerSnapshot& s) {
    const ServerCounters& c = s.counters;
    return {
        {"clients", QJsonObject{{"logged_in", s.loggedIn}, {"pending", s.pending}}},
        {"lines_received", Count(s.linesReceived)},
        {"lines_sent", Count(s.linesSent)},
        {"lines_dropped", ByReason(c.dropped, kDropReasons)},
        {"logins", QJsonObject{{"ok", Count(c.loginsOk)}, {"failed", Count(c.loginsFailed)}}},
        {"connections_refused", ByReason(c.refused, kRefusalReasons)},
        {"connections_evicted", ByReason(c.evicted, kEvictionReasons)},
        {"connections_paused", ByReason(c.paused, kPauseReasons)},
        {"output_bytes_waiting", s.bytesWaiting},
    };
}

QJsonObject ConnectionPart(const ServerSnapshot::Connection& c) {
    QJsonObject object{
        {"address", c.peer},
        {"logged_in", c.loggedIn},
        {"bytes_waiting", c.bytesWaiting},
        {"tls", c.tls},
    };
    if (c.loggedIn) {
        object.insert("login", QString::fromLatin1(c.login));
        object.insert("logged_in_since", LogTimestamp(c.loggedInSince));
        object.insert("lines_in", Count(c.linesIn));
        object.insert("lines_out", Count(c.linesOut));
        object.insert("lines_in_last_minute", Count(c.linesInLastMinute));
        object.insert("lines_out_last_minute", Count(c.linesOutLastMinute));
    }
    return object;
}

QJsonObject TroublePart(const ServerSnapshot::Trouble& t) {
    return {
        {"address", t.address.isEmpty() ? QJsonValue() : QJsonValue(t.address)},
        {"refused", Count(t.refused)},
        {"failed_logins", Count(t.failedLogins)},
        {"slowed", Count(t.slowed)},
        {"evicted", Count(t.evicted)},
    };
}
} // namespace

QByteArray StatusJson(const ServerSnapshot& s) {
    QJsonArray connections;
    for (const ServerSnapshot::Connection& c : s.connections)
        connections.append(ConnectionPart(c));
    QJsonArray troubles;
    for (const ServerSnapshot::Trouble& t : s.troubles)
        troubles.append(TroublePart(t));
    const QJsonObject root{
        {"server", ServerPart(s)},
        {"totals", TotalsPart(s)},
        {"connections", connections},
        {"connections_not_shown", s.connectionsNotShown},
        {"refused_or_slowed_last_15_min", troubles},
        {"refused_or_slowed_not_shown", s.troublesNotShown},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
