#include "CLogSummary.h"

bool CLogSummary::Count(const QString& what, const QString& from, qint64 now) {
    auto it = m_windows.find(what + QChar(0) + from);
    if (it == m_windows.end()) {
        if (m_windows.size() >= kMaxKeys) {
            const QString other = QStringLiteral("other addresses");
            it = m_windows.find(what + QChar(0) + other);
            if (it == m_windows.end())
                it = m_windows.insert(what + QChar(0) + other, Window{what, other, now, 0});
            ++it->count;
            return false;
        }
        it = m_windows.insert(what + QChar(0) + from, Window{what, from, now, 0});
    }
    return ++it->count <= m_shown;
}

void CLogSummary::Flush(qint64 now, const Sink& sink, bool flushAll) {
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        if (!flushAll && now - it->start < m_windowMs) {
            ++it;
            continue;
        }
        if (it->count > m_shown)
            sink(QStringLiteral("%1 %2 from %3 in the last %4 s")
                     .arg(it->count)
                     .arg(it->what, it->from)
                     .arg((now - it->start + 999) / 1000));
        it = m_windows.erase(it);
    }
}
