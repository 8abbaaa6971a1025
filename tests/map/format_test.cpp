#include "format.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {
QString µ(const char *rest) {
    return QChar(0x00B5) + QString::fromLatin1(rest);
}

std::pair<QString, QString> dose(float value, int unit) {
    QString text = QStringLiteral("old"), units;
    formatDose(value, unit, &text, &units);
    return {text, units};
}
}  // namespace

TEST(FormatDose, ScalesWithMetricPrefixPerUnit) {
    using P = std::pair<QString, QString>;
    EXPECT_EQ(dose(85, 1), P("85", "nSv"));
    EXPECT_EQ(dose(1234, 1), P("1.2", µ("Sv")));
    EXPECT_EQ(dose(1000, 0), P("1000", "nGy"));
    EXPECT_EQ(dose(2500000, 0), P("2.5", "mGy"));
    EXPECT_EQ(dose(500, 2), P("500", µ("R")));
    EXPECT_EQ(dose(2500, 2), P("2.5", "mR"));
    EXPECT_EQ(dose(2500000, 2), P("2.5", "R"));
    EXPECT_EQ(dose(0, 3), P("0.0", "nrem"));
    EXPECT_EQ(dose(7, 9), P("7.0", "nGy"));  // unknown unit code
}

TEST(FormatDose, BoundariesAndOddValues) {
    using P = std::pair<QString, QString>;
    EXPECT_EQ(dose(1000, 1), P("1000", "nSv"));  // boundaries are strict
    EXPECT_EQ(dose(1000.5f, 1), P("1.0", µ("Sv")));
    EXPECT_EQ(dose(1000000, 1), P("1000", µ("Sv")));
    EXPECT_EQ(dose(9960, 1), P("10.0", µ("Sv")));  // one decimal: below 10 before rounding
    EXPECT_EQ(dose(10, 1), P("10", "nSv"));
    EXPECT_EQ(dose(-3, 1), P("-3.000", "nSv"));
    EXPECT_EQ(dose(-3, 2), P("-3.000", µ("R")));
    EXPECT_EQ(dose(NAN, 1), P("old", "nSv"));
    formatDose(5, 1, nullptr, nullptr);  // must not crash
}

TEST(FormatGpsCoords, DegreesMinutesSecondsAndHemisphere) {
    const QString deg(QChar(0x00B0));
    EXPECT_EQ(formatGpsCoords(49.5, 1), "49" + deg + " 30' 0.0\" N");
    EXPECT_EQ(formatGpsCoords(-16.2525, 0), "16" + deg + " 15' 9.0\" W");
    EXPECT_EQ(formatGpsCoords(-0.5, 1), "0" + deg + " 30' 0.0\" S");
    EXPECT_EQ(formatGpsCoords(0, 0), "0" + deg + " 0' 0.0\" E");
    EXPECT_EQ(formatGpsCoords(12.25, 2), "12" + deg + " 15' 0.0\" ");
    // A hair below a whole minute: seconds round on printing only, without carry.
    EXPECT_EQ(formatGpsCoords(10 + 1.0 / 60 - 1e-9, 1), "10" + deg + " 0' 60.0\" N");
    EXPECT_EQ(formatGpsCoords(NAN, 1), QString());
    EXPECT_EQ(formatGpsCoords(INFINITY, 0), QString());
}

// Every window shows readings through the same texts, a missing one as "-".
TEST(FormatReading, OneTextPerReadingWhateverItsSource) {
    EXPECT_EQ(formatDoseRate(85, 1), "85 nSv/hr");
    EXPECT_EQ(formatDoseRate(85, -1), "85 nGy/hr");  // an odd unit code is no count rate
    EXPECT_EQ(formatDoseRate(NAN, 1), "- nSv/hr");
    EXPECT_EQ(formatReading(1234567, kCountRate), "1.23457e+06 cps");
    EXPECT_EQ(formatReading(NAN, kCountRate), "- cps");
    EXPECT_EQ(formatAltitude(310.6), "311m");
    EXPECT_EQ(formatAltitude(NAN), "-");
}
