#include "CDropTally.h"

#include "CDebugLog.h"

CDropTally::CDropTally(CDebugLog& log, const char* place, const char* items)
    : m_log(log), m_place(place), m_items(items) {}

void CDropTally::Add(std::uint64_t n, std::int64_t now) {
    if (n == 0)
        return;
    if (!m_inRun) {
        m_log.LogLine(1, "%s: dropping %s", m_place, m_items);
        m_inRun = true;
        m_run = 0;
    }
    m_total += n;
    m_run += n;
    m_lastDrop = now;
}

void CDropTally::Check(std::int64_t now) {
    if (m_inRun && now - m_lastDrop >= kQuietNs)
        Finish();
}

void CDropTally::Finish() {
    if (!m_inRun)
        return;
    m_log.LogLine(1, "%s: %llu %s dropped", m_place, static_cast<unsigned long long>(m_run),
                  m_items);
    m_inRun = false;
}
