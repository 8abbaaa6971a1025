// The statistics of one instrument's part of a survey: how long it ran, how far it was carried
// (geodesic distance between consecutive fixed points only), the least, mean and greatest dose
// rate with where and when the greatest was, how many readings had a fix and how many not, and
// the gaps in the readings (as the cumulative dose sees them, which it also keeps).
//
// Fed with explicit times (milliseconds since the epoch); one thread.
#pragma once

#include <QtGlobal>

#include "doseintegrator.h"

struct StatisticsReading {
    qint64 timeMs = 0;
    bool fix = false;
    double latitude = 0;  // degrees; only with a fix
    double longitude = 0;
    double doseRate = 0;  // per hour, in the instrument's unit
    double countRate = 0;
};

class SurveyStatistics {
public:
    // Readings older than the last are ignored.
    void add(const StatisticsReading &reading);
    void linkLost(qint64 timeMs) { m_dose.linkLost(timeMs); }
    void reset();

    bool isEmpty() const { return m_points == 0; }
    qint64 durationMs() const { return m_points ? m_lastMs - m_firstMs : 0; }
    qint64 firstMs() const { return m_firstMs; }
    double distanceMetres() const { return m_distance; }
    int pointsWithFix() const { return m_withFix; }
    int pointsWithoutFix() const { return m_points - m_withFix; }
    // The mean is that of the readings, each counted once.
    double minDoseRate() const { return m_min; }
    double meanDoseRate() const { return m_points ? m_sum / m_points : 0; }
    double maxDoseRate() const { return m_max.doseRate; }
    // The reading with the greatest dose rate (the first, where several share it).
    const StatisticsReading &maximum() const { return m_max; }
    const DoseIntegrator &dose() const { return m_dose; }

private:
    int m_points = 0;
    int m_withFix = 0;
    qint64 m_firstMs = 0;
    qint64 m_lastMs = 0;
    double m_distance = 0;
    double m_sum = 0;
    double m_min = 0;
    StatisticsReading m_max;
    bool m_hasFix = false;
    double m_lastLatitude = 0;
    double m_lastLongitude = 0;
    DoseIntegrator m_dose;
};
