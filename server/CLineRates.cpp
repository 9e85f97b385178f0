#include "CLineRates.h"

void CLineRates::Sample(qint64 now, Lines total) {
    const Point& newest = m_points[m_newest];
    if (newest.at >= 0 && now - newest.at < kStepMs)
        return;
    m_newest = (m_newest + 1) % m_points.size();
    m_points[m_newest] = {now, total};
}

CLineRates::Lines CLineRates::LastMinute(qint64 now, Lines total) const {
    const Point* from = nullptr;
    for (const Point& p : m_points) {
        if (p.at >= 0 && now - p.at <= kWindowMs && (from == nullptr || p.at < from->at))
            from = &p;
    }
    if (from == nullptr)
        from = &m_points[m_newest];
    if (from->at < 0)
        return total;
    return {total.in - from->total.in, total.out - from->total.out};
}
