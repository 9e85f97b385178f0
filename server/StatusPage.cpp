#include "StatusRender.h"

#include "LogText.h"

#include <QStringList>

#include <numeric>

namespace {
const char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:1em;color:#222;background:#fff}"
    "h1{font-size:1.4em;margin:0 0 .2em}h2{font-size:1.1em;margin:1.2em 0 .4em}"
    ".scroll{overflow-x:auto}table{border-collapse:collapse}"
    "th,td{padding:.2em .6em;text-align:left;border-bottom:1px solid #ddd;white-space:nowrap}"
    ".n{text-align:right;font-variant-numeric:tabular-nums}.dim{color:#888}.warn{color:#b40}"
    "@media(prefers-color-scheme:dark){body{background:#151515;color:#ddd}th,td{border-color:"
    "#333}}";

QString Number(std::uint64_t n) {
    return QString::number(n);
}

std::uint64_t Sum(const auto& counts) {
    return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

// "12 (bad checksum 10, too long 2)": the reasons that counted anything.
template <typename Names> QString WithReasons(const auto& counts, const Names& names) {
    QStringList parts;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] > 0)
            parts << QStringLiteral("%1 %2").arg(QLatin1String(names[i].text)).arg(counts[i]);
    }
    const QString total = Number(Sum(counts));
    return parts.isEmpty() ? total
                           : total + QStringLiteral(" (") + HtmlEscaped(parts.join(", ")) + ')';
}

void Row(QString& out, const QString& name, const QString& valueHtml) {
    out += QStringLiteral("<tr><th>%1</th><td>%2</td></tr>\n").arg(name, valueHtml);
}

void ServerPart(QString& out, const ServerSnapshot& s) {
    out += QStringLiteral("<h2>Server</h2>\n<table>\n");
    Row(out, QStringLiteral("Version"), HtmlEscaped(s.version));
    Row(out, QStringLiteral("Up since"),
        HtmlEscaped(LogTimestamp(s.upSince)) + QStringLiteral(" (") +
            DurationText(s.upSince.secsTo(s.takenAt)) + ')');
    const QString where =
        s.listenAddress.isEmpty() ? QStringLiteral("all addresses") : HtmlEscaped(s.listenAddress);
    Row(out, QStringLiteral("Tunnel port"),
        s.port == 0 ? QStringLiteral("none: TLS only")
                    : QStringLiteral("%1 on %2, plain").arg(s.port).arg(where));
    Row(out, QStringLiteral("TLS"),
        s.tlsPort == 0 ? QStringLiteral("none: plain only")
                       : QStringLiteral("port %1 on %2").arg(s.tlsPort).arg(where));
    Row(out, QStringLiteral("Accepting"),
        s.acceptPaused ? QStringLiteral("<span class=\"warn\">no: out of descriptors</span>")
                       : QStringLiteral("yes"));
    out += QStringLiteral("</table>\n");
}

void TotalsPart(QString& out, const ServerSnapshot& s) {
    const ServerCounters& c = s.counters;
    out += QStringLiteral("<h2>Totals</h2>\n<table>\n");
    Row(out, QStringLiteral("Clients"),
        QStringLiteral("%1 logged in, %2 awaiting log-in").arg(s.loggedIn).arg(s.pending));
    Row(out, QStringLiteral("Lines received"), Number(s.linesReceived));
    Row(out, QStringLiteral("Lines sent"), Number(s.linesSent));
    Row(out, QStringLiteral("Lines dropped"), WithReasons(c.dropped, kDropReasons));
    Row(out, QStringLiteral("Log-ins"),
        QStringLiteral("%1 accepted, %2 failed").arg(c.loginsOk).arg(c.loginsFailed));
    Row(out, QStringLiteral("Connections refused"), WithReasons(c.refused, kRefusalReasons));
    Row(out, QStringLiteral("Connections evicted"), WithReasons(c.evicted, kEvictionReasons));
    Row(out, QStringLiteral("Connections paused"), WithReasons(c.paused, kPauseReasons));
    Row(out, QStringLiteral("Bytes waiting for clients"), QString::number(s.bytesWaiting));
    out += QStringLiteral("</table>\n");
}

void ConnectionsPart(QString& out, const ServerSnapshot& s) {
    out += QStringLiteral("<h2>Connections</h2>\n");
    if (s.connections.empty()) {
        out += QStringLiteral("<p class=\"dim\">None.</p>\n");
        return;
    }
    out += QStringLiteral(
        "<div class=\"scroll\"><table>\n<tr><th>Address</th><th>Login</th><th>Logged in "
        "since</th><th class=\"n\">Lines in</th><th class=\"n\">Lines out</th><th "
        "class=\"n\">In last minute</th><th class=\"n\">Out last minute</th><th class=\"n\">Bytes "
        "waiting</th><th>Link</th></tr>\n");
    for (const ServerSnapshot::Connection& c : s.connections) {
        out += QStringLiteral("<tr><td>") + HtmlEscaped(c.peer) + QStringLiteral("</td>");
        if (!c.loggedIn) {
            out += QStringLiteral("<td class=\"dim\" colspan=\"6\">awaiting log-in</td>");
        } else {
            out += QStringLiteral("<td>%1</td><td>%2</td><td class=\"n\">%3</td><td "
                                  "class=\"n\">%4</td><td class=\"n\">%5</td><td "
                                  "class=\"n\">%6</td>")
                       .arg(HtmlPeerText(c.login), HtmlEscaped(LogTimestamp(c.loggedInSince)),
                            Number(c.linesIn), Number(c.linesOut), Number(c.linesInLastMinute),
                            Number(c.linesOutLastMinute));
        }
        out += QStringLiteral("<td class=\"n\">%1</td><td>%2</td></tr>\n")
                   .arg(c.bytesWaiting)
                   .arg(c.tls ? QStringLiteral("TLS") : QStringLiteral("plain"));
    }
    out += QStringLiteral("</table></div>\n");
    if (s.connectionsNotShown > 0)
        out += QStringLiteral("<p class=\"dim\">%1 more connections not shown.</p>\n")
                   .arg(s.connectionsNotShown);
}

void TroublesPart(QString& out, const ServerSnapshot& s) {
    out += QStringLiteral("<h2>Refused, slowed or evicted in the last 15 minutes</h2>\n");
    if (s.troubles.empty()) {
        out += QStringLiteral("<p class=\"dim\">None.</p>\n");
        return;
    }
    out += QStringLiteral("<div class=\"scroll\"><table>\n<tr><th>Address</th><th "
                          "class=\"n\">Refused</th><th class=\"n\">Failed log-ins</th><th "
                          "class=\"n\">Slowed</th><th class=\"n\">Evicted</th></tr>\n");
    for (const ServerSnapshot::Trouble& t : s.troubles) {
        const QString address = t.address.isEmpty()
                                    ? QStringLiteral("<span class=\"dim\">other addresses</span>")
                                    : HtmlEscaped(t.address);
        out += QStringLiteral("<tr><td>%1</td><td class=\"n\">%2</td><td class=\"n\">%3</td><td "
                              "class=\"n\">%4</td><td class=\"n\">%5</td></tr>\n")
                   .arg(address, Number(t.refused), Number(t.failedLogins), Number(t.slowed),
                        Number(t.evicted));
    }
    out += QStringLiteral("</table></div>\n");
    if (s.troublesNotShown > 0)
        out += QStringLiteral("<p class=\"dim\">%1 more addresses not shown.</p>\n")
                   .arg(s.troublesNotShown);
}
} // namespace

QString HtmlEscaped(const QString& text) {
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QLatin1String("&#39;"));
}

QString HtmlPeerText(const QByteArray& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    QString text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            text += QLatin1String("\\\\");
        } else if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0)) {
            text += QLatin1String("\\x");
            text += QLatin1Char(kHex[byte >> 4]);
            text += QLatin1Char(kHex[byte & 0x0F]);
        } else {
            text += QChar(byte);
        }
    }
    return HtmlEscaped(text);
}

QString DurationText(qint64 seconds) {
    seconds = std::max<qint64>(seconds, 0);
    const qint64 days = seconds / 86400;
    const qint64 hours = seconds / 3600 % 24;
    const qint64 minutes = seconds / 60 % 60;
    if (days > 0)
        return QStringLiteral("%1 d %2 h").arg(days).arg(hours);
    if (hours > 0)
        return QStringLiteral("%1 h %2 min").arg(hours).arg(minutes);
    if (minutes > 0)
        return QStringLiteral("%1 min %2 s").arg(minutes).arg(seconds % 60);
    return QStringLiteral("%1 s").arg(seconds);
}

QByteArray StatusPageHtml(const ServerSnapshot& s) {
    QString out;
    out.reserve(4096 + static_cast<qsizetype>(s.connections.size()) * 400);
    out += QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                          "<meta http-equiv=\"refresh\" content=\"5\">\n"
                          "<meta name=\"viewport\" content=\"width=device-width, "
                          "initial-scale=1\">\n<title>kavlink-server: %1 logged in</title>\n"
                          "<style>%2</style></head><body>\n")
               .arg(s.loggedIn)
               .arg(QLatin1String(kStyle));
    out += QStringLiteral("<h1>kavlink-server</h1>\n<p class=\"dim\">As of %1; this page "
                          "refreshes every 5 s.</p>\n")
               .arg(HtmlEscaped(LogTimestamp(s.takenAt)));
    ServerPart(out, s);
    TotalsPart(out, s);
    ConnectionsPart(out, s);
    TroublesPart(out, s);
    out += QStringLiteral("<p class=\"dim\">Also as <a href=\"metrics\">metrics</a> and <a "
                          "href=\"status.json\">JSON</a>.</p>\n</body></html>\n");
    return out.toUtf8();
}
