// The cumulative dose of one instrument: its dose rate (per hour) integrated over time by the
// trapezoid rule, in the unit the rates are in times hours (nSv/h gives nSv). Two readings further
// apart than kMaxGapMs, or a link loss reported between them, are not integrated across: the time
// between is kept as a gap with its length, so that a lost link never shows as a dose spike.
//
// Fed with explicit times (milliseconds since the epoch); one thread.
#pragma once

#include <QList>
#include <QtGlobal>

class DoseIntegrator {
public:
    // The instruments send a reading a second; five missed ones are a gap, not a slow link.
    static constexpr qint64 kMaxGapMs = 5000;

    struct Gap {
        qint64 startMs;
        qint64 lengthMs;
    };

    // A reading; negative or non-finite rates and readings older than the last are ignored.
    void add(qint64 timeMs, double doseRatePerHour);
    // The link was lost at `timeMs`: the next reading starts afresh and the time between is a gap.
    void linkLost(qint64 timeMs);
    void reset();

    double dose() const { return m_dose; }
    // The time integrated over, gaps left out.
    qint64 coveredMs() const { return m_coveredMs; }
    const QList<Gap> &gaps() const { return m_gaps; }
    qint64 gapMs() const;

private:
    double m_dose = 0;
    qint64 m_coveredMs = 0;
    QList<Gap> m_gaps;
    bool m_hasLast = false;
    qint64 m_lastMs = 0;
    double m_lastRate = 0;
    qint64 m_lostMs = -1;  // when the link was lost; -1 while it holds
};
