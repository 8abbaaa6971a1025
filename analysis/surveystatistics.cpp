#include "surveystatistics.h"

#include <algorithm>
#include <cmath>

#include "geo.h"

void SurveyStatistics::add(const StatisticsReading &r) {
    if (m_points && r.timeMs < m_lastMs) return;
    if (!std::isfinite(r.doseRate)) return;
    if (m_points == 0) {
        m_firstMs = r.timeMs;
        m_min = r.doseRate;
        m_max = r;
    }
    ++m_points;
    m_lastMs = r.timeMs;
    m_sum += r.doseRate;
    m_min = std::min(m_min, r.doseRate);
    if (r.doseRate > m_max.doseRate) m_max = r;
    m_dose.add(r.timeMs, r.doseRate);
    if (!r.fix) return;
    ++m_withFix;
    if (m_hasFix)
        m_distance +=
            geodesicInverse(m_lastLatitude, m_lastLongitude, r.latitude, r.longitude).distance;
    m_hasFix = true;
    m_lastLatitude = r.latitude;
    m_lastLongitude = r.longitude;
}

void SurveyStatistics::reset() {
    *this = SurveyStatistics();
}
