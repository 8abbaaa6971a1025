#include "doseintegrator.h"

#include <cmath>

namespace {
constexpr double kMsPerHour = 3600.0 * 1000.0;
}

void DoseIntegrator::add(qint64 timeMs, double doseRatePerHour) {
    if (!std::isfinite(doseRatePerHour) || doseRatePerHour < 0) return;
    if (m_hasLast && timeMs < m_lastMs) return;
    if (m_lostMs >= 0) {
        // The gap runs from the last reading before the loss, or from the loss itself.
        const qint64 start = m_hasLast ? m_lastMs : m_lostMs;
        if (timeMs > start) m_gaps.append({start, timeMs - start});
        m_lostMs = -1;
    } else if (m_hasLast) {
        const qint64 step = timeMs - m_lastMs;
        if (step > kMaxGapMs) {
            m_gaps.append({m_lastMs, step});
        } else {
            m_dose += (m_lastRate + doseRatePerHour) / 2 * (double(step) / kMsPerHour);
            m_coveredMs += step;
        }
    }
    m_hasLast = true;
    m_lastMs = timeMs;
    m_lastRate = doseRatePerHour;
}

void DoseIntegrator::linkLost(qint64 timeMs) {
    if (m_lostMs < 0) m_lostMs = timeMs;
}

void DoseIntegrator::reset() {
    *this = DoseIntegrator();
}

qint64 DoseIntegrator::gapMs() const {
    qint64 total = 0;
    for (const Gap &g : m_gaps)
        total += g.lengthMs;
    return total;
}
