#include "alarmmonitor.h"

#include <cmath>

void AlarmMonitor::setThreshold(double threshold, qint64 timeMs) {
    m_threshold = std::isfinite(threshold) && threshold > 0 ? threshold : 0;
    if (!enabled() && active()) end(timeMs);
    m_belowSinceMs = -1;
}

AlarmMonitor::Change AlarmMonitor::end(qint64 timeMs) {
    m_alarm.endMs = timeMs;
    m_belowSinceMs = -1;
    return Cleared;
}

AlarmMonitor::Change AlarmMonitor::add(qint64 timeMs, double value) {
    if (!std::isfinite(value) || timeMs < m_lastMs) return Unchanged;
    m_lastMs = timeMs;
    if (!enabled()) return Unchanged;
    if (!active()) {
        if (value <= m_threshold) return Unchanged;
        m_alarm = Alarm{timeMs, value, timeMs, value, -1, -1};
        m_hasAlarm = true;
        m_belowSinceMs = -1;
        return Raised;
    }
    if (value > m_alarm.peakValue) {
        m_alarm.peakValue = value;
        m_alarm.peakMs = timeMs;
    }
    if (value >= kClearFraction * m_threshold) {
        m_belowSinceMs = -1;
        return Unchanged;
    }
    if (m_belowSinceMs < 0) m_belowSinceMs = timeMs;
    return timeMs - m_belowSinceMs >= kClearAfterMs ? end(timeMs) : Unchanged;
}

bool AlarmMonitor::acknowledge(qint64 timeMs) {
    if (!m_hasAlarm || m_alarm.acknowledged() || !m_alarm.active()) return false;
    m_alarm.acknowledgedMs = timeMs;
    return true;
}
