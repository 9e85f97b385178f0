#pragma once

#include <QHash>
#include <QString>

#include <functional>

// Keeps repeated events from flooding the log, from one address or from thousands: within a
// window, the first few events of a kind are logged one by one and the rest only counted, then
// summed up in one line per kind with the addresses that brought the most ("1234 connections
// refused from 310 addresses in the last 60 s; most from 203.0.113.7 (800), ...").
//
// Kinds that every address may show a few of (log-ins, the ends of sessions) are counted per
// address instead: each address gets the first few of a kind per window, the rest are summed.
class CLogSummary {
public:
    using Sink = std::function<void(const QString&)>;
    enum class Shown { PerKind, PerAddress };

    CLogSummary(qint64 windowMs, int shownPerWindow)
        : m_windowMs(windowMs), m_shown(shownPerWindow) {}

    // True when this event gets its own line; otherwise it is counted for the summary. An
    // empty `from` stands for the server itself.
    bool Count(const QString& what, const QString& from, qint64 now, Shown shown = Shown::PerKind);
    // Logs the summary of every window that has ended (all of them when flushAll).
    void Flush(qint64 now, const Sink& sink, bool flushAll = false);

    // Addresses counted one by one per kind and window; further ones are summed as others.
    static constexpr qsizetype kMaxAddresses = 1024;
    // Addresses named in a summary line.
    static constexpr int kNamed = 3;

private:
    struct Window {
        qint64 start = 0;
        qint64 count = 0;
        qint64 hidden = 0; // events without a line of their own
        qint64 others = 0; // events from addresses beyond kMaxAddresses
        QHash<QString, qint64> from;
    };
    qint64 m_windowMs;
    int m_shown;
    QHash<QString, Window> m_windows; // by kind
};
