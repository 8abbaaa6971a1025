// Spectrum arithmetic: addition with resampling, the cached sum, clearing and the dead time.
#include <gtest/gtest.h>

#include <QVariant>
#include <climits>

#include "device/spectrum.h"

namespace {

Spectrum::DataType ramp(int n, int start = 0) {
    Spectrum::DataType d;
    for (int i = 0; i < n; ++i)
        d.append(start + i);
    return d;
}

Spectrum::DataTypeD rampD(int n) {
    Spectrum::DataTypeD d;
    for (int i = 0; i < n; ++i)
        d.append(i + 0.5);
    return d;
}

TEST(Spectrum, AdditionOfEqualGridsAddsChannelsTimesAndCounts) {
    Spectrum a(ramp(4), 10, 20, 30, 7, 1.5f);
    Spectrum b(ramp(4, 100), 1, 2, 3, 8, 2.5f);
    b.setDataD(rampD(4));
    a.setType(Spectrum::Live);
    a += b;
    EXPECT_EQ(a.data(), (Spectrum::DataType{100, 102, 104, 106}));
    EXPECT_EQ(a.dataD(), (Spectrum::DataTypeD{0.5, 1.5, 2.5, 3.5}));
    EXPECT_EQ(a.liveTime(), 11u);
    EXPECT_EQ(a.clockTime(), 22u);
    EXPECT_EQ(a.totalCount(), 33u);
    EXPECT_EQ(a.sequenceNumber(), 4294967295u);
    EXPECT_EQ(a.type(), Spectrum::Live);
    EXPECT_FLOAT_EQ(a.fwhmCs137(), 1.5f);
    EXPECT_EQ(a.sum(), 412);
}

TEST(Spectrum, AdditionResamplesOntoThisGridByTheLowerNeighbour) {
    Spectrum fine(Spectrum::DataType(1024, 0), 0, 0, 0, 0, 0);
    Spectrum coarse(ramp(512), 0, 0, 0, 0, 0);
    fine += coarse;
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(fine.data()[i], i / 2) << i;

    Spectrum small(Spectrum::DataType(512, 0), 0, 0, 0, 0, 0);
    Spectrum big(ramp(1024), 0, 0, 0, 0, 0);
    big.setDataD(rampD(1024));
    small += big;
    for (int i = 0; i < 512; ++i) {
        ASSERT_EQ(small.data()[i], 2 * i) << i;
        ASSERT_DOUBLE_EQ(small.dataD()[i], 2 * i + 0.5) << i;
    }
}

TEST(Spectrum, AdditionWithAnEmptySideTouchesOnlyTheCounters) {
    Spectrum a(ramp(3), 1, 1, 1, 5, 0);
    a += Spectrum(Spectrum::DataType{}, 2, 2, 2, 0, 0);
    EXPECT_EQ(a.data(), ramp(3));
    EXPECT_EQ(a.liveTime(), 3u);
    EXPECT_EQ(a.sequenceNumber(), 4294967295u);
}

TEST(Spectrum, SumIsCachedUntilTheChannelsChange) {
    Spectrum s(ramp(4), 0, 0, 0, 0, 0);
    EXPECT_EQ(s.sum(), 6);
    s.setData({10, 20});
    EXPECT_EQ(s.sum(), 30);
    EXPECT_EQ(s.channels(), 4);  // setData leaves the nominal count alone

    Spectrum wraps(Spectrum::DataType{INT_MAX, 2}, 0, 0, 0, 0, 0);
    EXPECT_EQ(wraps.sum(), INT_MIN + 1);

    Spectrum copy(s);
    copy.setData({1});
    EXPECT_EQ(copy.sum(), 1);
    EXPECT_EQ(s.sum(), 30);
}

TEST(Spectrum, ClearZeroesMeasurementButKeepsSizesAndSampleCounters) {
    Spectrum s(ramp(8, 1), 5, 6, 7, 8, 9.f);
    s.setType(Spectrum::Assay);
    s.setDose(1.f);
    s.setGeigerTotal(3);
    s.setAccTotalCnt(44);
    s.setActSample(2);
    s.setTotalSample(9);
    s.setFinished(1);
    s.clear();
    EXPECT_EQ(s.sum(), 0);
    EXPECT_EQ(s.data(), Spectrum::DataType(8, 0));
    EXPECT_EQ(s.dataD(), Spectrum::DataTypeD(8, 0.0));
    EXPECT_EQ(s.liveTime(), 0u);
    EXPECT_EQ(s.clockTime(), 0u);
    EXPECT_EQ(s.totalCount(), 0u);
    EXPECT_EQ(s.sequenceNumber(), 4294967295u);
    EXPECT_EQ(s.type(), 4294967295u);
    EXPECT_EQ(s.dose(), 0.f);
    EXPECT_EQ(s.geigerTotal(), 0);
    EXPECT_EQ(s.finished(), 0);
    EXPECT_EQ(s.accTotalCnt(), 44u);
    EXPECT_EQ(s.channels(), 8);
    EXPECT_EQ(s.actSample(), 2);
    EXPECT_EQ(s.totalSample(), 9);
}

TEST(Spectrum, DeadTimeInPercentSurvivesAZeroClock) {
    EXPECT_FLOAT_EQ(Spectrum(ramp(1), 900, 1000, 0, 0, 0).deadTime(), 10.f);
    EXPECT_FLOAT_EQ(deadTime(0, 0), 100.f);
    EXPECT_FLOAT_EQ(deadTime(1, 0), (1.f - 8388608.f) * 100.f);
    // Only the low 32 bits of the times count.
    Spectrum big(ramp(1), (1ull << 32) + 900, (1ull << 32) + 1000, 0, 0, 0);
    EXPECT_FLOAT_EQ(big.deadTime(), 10.f);
}

TEST(Spectrum, ConstructionFromCountsOrDoubles) {
    Spectrum empty(16);
    EXPECT_EQ(empty.size(), 16u);
    EXPECT_EQ(empty.dataD().size(), 16);
    EXPECT_EQ(empty.channels(), 1024);
    EXPECT_EQ(empty.type(), 0u);

    Spectrum d(rampD(3), 1, 2, 3, 4, 5.f);
    EXPECT_EQ(d.data(), Spectrum::DataType(3, 0));
    EXPECT_EQ(d.channels(), 3);
    EXPECT_EQ(d.property("sequence_num").toUInt(), 4u);
    EXPECT_FLOAT_EQ(d.property("fwhm_cs137").toFloat(), 5.f);
}

}  // namespace
