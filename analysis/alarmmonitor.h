// An alarm on one reading (dose rate or count rate) of one instrument. A reading above the
// threshold raises it; it clears only once the readings have stayed below 90 % of the threshold
// for 5 s without a break, so a reading hovering at the threshold does not make it chatter. It
// keeps the start, the peak, the user's acknowledgement and the end of the latest excursion.
//
// Fed with explicit times (milliseconds since the epoch); one thread.
#pragma once

#include <QtGlobal>

class AlarmMonitor {
public:
    static constexpr double kClearFraction = 0.9;
    static constexpr qint64 kClearAfterMs = 5000;

    struct Alarm {
        qint64 startMs = 0;
        double startValue = 0;
        qint64 peakMs = 0;
        double peakValue = 0;
        qint64 acknowledgedMs = -1;  // -1 until acknowledged
        qint64 endMs = -1;           // -1 while it lasts
        bool acknowledged() const { return acknowledgedMs >= 0; }
        bool active() const { return endMs < 0; }
    };
    enum Change { Unchanged, Raised, Cleared };

    // Off (the default) when not positive. Switching off ends an alarm at `timeMs`.
    void setThreshold(double threshold, qint64 timeMs);
    double threshold() const { return m_threshold; }
    bool enabled() const { return m_threshold > 0; }

    // A reading; non-finite values are ignored, as are readings older than the last one.
    Change add(qint64 timeMs, double value);
    // False when there is no alarm that still waits for it.
    bool acknowledge(qint64 timeMs);

    bool active() const { return m_hasAlarm && m_alarm.active(); }
    // The latest excursion, ongoing or ended; none before the first.
    const Alarm *latest() const { return m_hasAlarm ? &m_alarm : nullptr; }

private:
    Change end(qint64 timeMs);

    double m_threshold = 0;
    Alarm m_alarm;
    bool m_hasAlarm = false;
    qint64 m_lastMs = 0;
    qint64 m_belowSinceMs = -1;  // -1 while not below the clearing level
};
