#include "CLogSummary.h"

#include <QList>

#include <algorithm>
#include <utility>

bool CLogSummary::Count(const QString& what, const QString& from, qint64 now, Shown shown) {
    auto it = m_windows.find(what);
    if (it == m_windows.end())
        it = m_windows.insert(what, Window{now, 0, 0, 0, {}});
    Window& window = *it;
    ++window.count;
    qint64 fromThere = -1; // unknown past the bound: such an address is summed at once
    auto address = window.from.find(from);
    if (address != window.from.end())
        fromThere = ++*address;
    else if (window.from.size() < kMaxAddresses)
        fromThere = *window.from.insert(from, 1);
    else
        ++window.others;
    const bool own =
        shown == Shown::PerKind ? window.count <= m_shown : fromThere >= 0 && fromThere <= m_shown;
    if (!own)
        ++window.hidden;
    return own;
}

void CLogSummary::Flush(qint64 now, const Sink& sink, bool flushAll) {
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        const Window& window = *it;
        if (!flushAll && now - window.start < m_windowMs) {
            ++it;
            continue;
        }
        if (window.hidden > 0) {
            QList<std::pair<qint64, QString>> top;
            for (auto a = window.from.cbegin(); a != window.from.cend(); ++a)
                top.append({a.value(), a.key()});
            const auto named = std::min<qsizetype>(kNamed, top.size());
            std::partial_sort(
                top.begin(), top.begin() + named, top.end(), [](const auto& x, const auto& y) {
                    return x.first != y.first ? x.first > y.first : x.second < y.second;
                });
            const qsizetype addresses = window.from.size();
            QString sources = QStringLiteral(" from ") + top.first().second;
            if (window.others > 0)
                sources = QStringLiteral(" from more than %1 addresses").arg(addresses);
            else if (addresses > 1)
                sources = QStringLiteral(" from %1 addresses").arg(addresses);
            else if (top.first().second.isEmpty())
                sources.clear();
            QString line = QStringLiteral("%1 %2%3 in the last %4 s")
                               .arg(window.count)
                               .arg(it.key(), sources)
                               .arg((now - window.start + 999) / 1000);
            if (addresses > 1 || window.others > 0) {
                QStringList most;
                for (qsizetype i = 0; i < named; ++i)
                    most << QStringLiteral("%1 (%2)").arg(top[i].second).arg(top[i].first);
                line += QStringLiteral("; most from ") + most.join(QStringLiteral(", "));
            }
            sink(line);
        }
        it = m_windows.erase(it);
    }
}
