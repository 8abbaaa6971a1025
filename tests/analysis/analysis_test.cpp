#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "alarmmonitor.h"
#include "doseintegrator.h"
#include "surveystatistics.h"

// A scripted sequence that crosses the threshold twice, hovers at it and dips below the clearing
// level without staying there: the alarm rises once per excursion and clears only after 5 s
// below 90 % without a break.
TEST(AlarmMonitor, OncePerExcursionAndClearsWithHysteresis) {
    AlarmMonitor alarm;
    EXPECT_EQ(alarm.add(0, 1e9), AlarmMonitor::Unchanged) << "off by default";
    alarm.setThreshold(100, 0);
    struct Step {
        qint64 ms;
        double value;
    };
    const Step script[] = {
        {1000, 50},   {2000, 100},  {3000, 100.5}, {4000, 99.9},  {5000, 100.1}, {6000, 150},
        {7000, 99},   {8000, 89},   {9000, 80},    {11000, 70},   {12000, 95},  // breaks the run
        {13000, 60},  {15000, 60},  {17000, 60},   {17999, 89.9}, {18000, 60},   {19000, 100},
        {20000, 100}, {21000, 101}, {22000, 10},
    };
    int raised = 0, cleared = 0;
    qint64 raisedAt[2] = {}, clearedAt = 0;
    for (const Step &s : script) {
        switch (alarm.add(s.ms, s.value)) {
            case AlarmMonitor::Raised:
                if (raised < 2) raisedAt[raised] = s.ms;
                ++raised;
                break;
            case AlarmMonitor::Cleared:
                clearedAt = s.ms;
                ++cleared;
                EXPECT_EQ(alarm.latest()->peakValue, 150);
                EXPECT_EQ(alarm.latest()->peakMs, 6000);
                EXPECT_EQ(alarm.latest()->startValue, 100.5);
                EXPECT_EQ(alarm.latest()->acknowledgedMs, 6500);
                break;
            case AlarmMonitor::Unchanged:
                break;
        }
        if (s.ms == 6000) {
            EXPECT_TRUE(alarm.acknowledge(6500));
            EXPECT_FALSE(alarm.acknowledge(6600)) << "acknowledged once";
        }
    }
    EXPECT_EQ(raised, 2);
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(raisedAt[0], 3000);
    EXPECT_EQ(clearedAt, 18000);  // below 90 from 13000 on, unbroken
    EXPECT_EQ(raisedAt[1], 21000);
    ASSERT_TRUE(alarm.active());
    EXPECT_FALSE(alarm.latest()->acknowledged()) << "a new excursion waits for its own";
    alarm.setThreshold(0, 23000);
    EXPECT_FALSE(alarm.active());
    EXPECT_EQ(alarm.latest()->endMs, 23000);
}

// The dose of a scripted profile sampled once a second matches its integral; a link loss and
// readings that stop for a while leave gaps of the right length and add nothing, even when the
// rate after them is very different.
TEST(DoseIntegrator, MatchesAnalyticDoseAndLeavesGaps) {
    constexpr double kPi = std::numbers::pi;
    // nSv/h: 1000 + 500 sin(2 pi t / 600 s); its integral in nSv over [a, b] seconds.
    auto rate = [&](double s) { return 1000 + 500 * std::sin(2 * kPi * s / 600); };
    auto dose = [&](double a, double b) {
        const double k = 2 * kPi / 600;
        return (1000 * (b - a) - 500 / k * (std::cos(k * b) - std::cos(k * a))) / 3600;
    };
    DoseIntegrator d;
    for (int s = 0; s <= 900; ++s)
        d.add(s * 1000LL, rate(s));
    d.linkLost(900500);
    d.add(960000, 1e6);  // the first reading after the loss is not integrated back to it
    for (int s = 961; s <= 1200; ++s)
        d.add(s * 1000LL, s == 961 ? 1e6 : rate(s));
    for (int s = 1210; s <= 1800; ++s)  // ten seconds without readings
        d.add(s * 1000LL, rate(s));
    const double expected = dose(0, 900) + (1e6 + 1e6) / 2 / 3600 + dose(961, 1200) +
                            dose(1210, 1800) + (1e6 - rate(961)) / 2 / 3600;
    EXPECT_NEAR(d.dose(), expected, expected * 1e-3);
    ASSERT_EQ(d.gaps().size(), 2);
    EXPECT_EQ(d.gaps()[0].startMs, 900000);
    EXPECT_EQ(d.gaps()[0].lengthMs, 60000);
    EXPECT_EQ(d.gaps()[1].startMs, 1200000);
    EXPECT_EQ(d.gaps()[1].lengthMs, 10000);
    EXPECT_EQ(d.coveredMs() + d.gapMs(), 1800000);
}

namespace {
// The meridian arc of WGS84 between two latitudes (degrees), by Simpson's rule over the meridian
// radius of curvature: a way apart from the geodesic solver.
double meridianArc(double latitude1, double latitude2) {
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    auto radius = [&](double phi) {
        const double s = std::sin(phi);
        return a * (1 - e2) / std::pow(1 - e2 * s * s, 1.5);
    };
    const double p1 = latitude1 * std::numbers::pi / 180, p2 = latitude2 * std::numbers::pi / 180;
    const int n = 1000;
    const double h = (p2 - p1) / n;
    double sum = radius(p1) + radius(p2);
    for (int i = 1; i < n; ++i)
        sum += radius(p1 + i * h) * (i % 2 ? 4 : 2);
    return sum * h / 3;
}
}  // namespace

// A walk north along a meridian, every fifth reading without a fix (and with coordinates that
// would count if they were used), and a pause of the link.
TEST(SurveyStatistics, ScriptedWalkMatchesIndependentValues) {
    SurveyStatistics stats;
    double sum = 0, minimum = 1e9, maximum = -1;
    qint64 maxMs = 0;
    double maxLatitude = 0;
    int withFix = 0;
    const int n = 300;
    for (int i = 0; i < n; ++i) {
        StatisticsReading r;
        r.timeMs = 1'700'000'000'000LL + i * 1000LL + (i >= 200 ? 30000 : 0);
        r.fix = i % 5 != 3;
        r.latitude = r.fix ? 49.0 + i * 0.0001 : 0;
        r.longitude = r.fix ? 16.6 : 0;
        r.doseRate = 100 + std::fmod(i * 37.0, 101.0);
        if (i == 150) r.doseRate = 900;
        stats.add(r);
        sum += r.doseRate;
        minimum = std::min(minimum, r.doseRate);
        if (r.doseRate > maximum) {
            maximum = r.doseRate;
            maxMs = r.timeMs;
            maxLatitude = r.latitude;
        }
        withFix += r.fix;
    }
    // The first and last readings have a fix: the distance is the arc between them.
    const double arc = meridianArc(49.0, 49.0 + (n - 1) * 0.0001);
    EXPECT_NEAR(stats.distanceMetres(), arc, arc * 1e-3);
    EXPECT_EQ(stats.durationMs(), (n - 1) * 1000LL + 30000);
    EXPECT_EQ(stats.pointsWithFix(), withFix);
    EXPECT_EQ(stats.pointsWithoutFix(), n - withFix);
    EXPECT_DOUBLE_EQ(stats.minDoseRate(), minimum);
    EXPECT_NEAR(stats.meanDoseRate(), sum / n, 1e-9);
    EXPECT_DOUBLE_EQ(stats.maxDoseRate(), maximum);
    EXPECT_EQ(stats.maximum().timeMs, maxMs);
    EXPECT_DOUBLE_EQ(stats.maximum().latitude, maxLatitude);
    ASSERT_EQ(stats.dose().gaps().size(), 1);
    EXPECT_EQ(stats.dose().gaps()[0].lengthMs, 31000);
}
