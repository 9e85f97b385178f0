#include "COrvaneInbox.h"

COrvaneInbox::Added COrvaneInbox::Add(QByteArray text) {
    const std::int64_t cost = Cost(text.size());
    const std::lock_guard lock(m_mutex);
    if (m_bytes + cost > m_maxBytes)
        return Added::Full;
    m_bytes += cost;
    m_queue.push_back(std::move(text));
    if (m_wakePending)
        return Added::Queued;
    m_wakePending = true;
    return Added::QueuedWake;
}

bool COrvaneInbox::Take(std::deque<QByteArray>& out, std::size_t max) {
    const std::lock_guard lock(m_mutex);
    while (max-- > 0 && !m_queue.empty()) {
        out.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
    }
    m_wakePending = !m_queue.empty();
    return m_wakePending;
}

void COrvaneInbox::Clear() {
    const std::lock_guard lock(m_mutex);
    for (const QByteArray& text : m_queue)
        m_bytes -= Cost(text.size());
    m_queue.clear();
    m_wakePending = false;
}
