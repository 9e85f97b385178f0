#pragma once

#include <QHash>
#include <QString>

#include <functional>

// Keeps repeated events from flooding the log: within a window, the first few events of a kind
// from one address are logged one by one and the rest only counted, then summed up in one line
// ("1234 connections refused from 203.0.113.7 in the last 60 s").
class CLogSummary {
public:
    using Sink = std::function<void(const QString&)>;

    CLogSummary(qint64 windowMs, int shownPerWindow)
        : m_windowMs(windowMs), m_shown(shownPerWindow) {}

    // True when this event gets its own line; otherwise it is counted for the summary.
    bool Count(const QString& what, const QString& from, qint64 now);
    // Logs the summary of every window that has ended (all of them when flushAll).
    void Flush(qint64 now, const Sink& sink, bool flushAll = false);

    // Distinct sources kept per window; events from further ones are summed as "other addresses".
    static constexpr qsizetype kMaxKeys = 1024;

private:
    struct Window {
        QString what;
        QString from;
        qint64 start = 0;
        qint64 count = 0;
    };
    qint64 m_windowMs;
    int m_shown;
    QHash<QString, Window> m_windows;
};
