// Stored survey records decoded and exported as the command-line tool writes them.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "cli/export.h"
#include "device/surveyrecord.h"

namespace {

void put32(std::vector<uint8_t> &b, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}
void putf(std::vector<uint8_t> &b, size_t offset, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    put32(b, offset, bits);
}

// A stored record of `n` points; point j has a fix when `fix(j)`.
std::vector<uint8_t> record(uint32_t time, uint32_t n, int unit, bool (*fix)(int)) {
    std::vector<uint8_t> b(SURVEY_RECORD_BYTES, 0);
    put32(b, 4, time);
    put32(b, 8, n);
    put32(b, 12, static_cast<uint32_t>(unit));
    for (int j = 0; j < SURVEY_RECORD_MAX_POINTS; ++j) {
        put32(b, 556 + 4 * j, 100 + j);
        putf(b, 1276 + 4 * j, 80.5f + j);
        put32(b, 1520 + 32 * j, fix(j) ? 1 : 0);
        putf(b, 1524 + 32 * j, 49.2f + j * 1e-4f);
        putf(b, 1528 + 32 * j, 16.6f);
        putf(b, 1532 + 32 * j, 250.f);
    }
    return b;
}

TEST(SurveyRecord, PointsWithAFixInStoredOrder) {
    auto b = record(1700000000, 4, 1, [](int j) { return j != 1; });
    SurveyRecord r = decodeSurveyRecord(b.data(), b.size());
    EXPECT_EQ(r.time, 1700000000u);
    EXPECT_EQ(r.doseUnit, 1);
    ASSERT_EQ(r.points.size(), 3u);
    EXPECT_FLOAT_EQ(r.points[1].cps, 102);
    EXPECT_FLOAT_EQ(r.points[1].doseRate, 82.5f);
    EXPECT_FLOAT_EQ(static_cast<float>(r.points[1].latitude), 49.2f + 2e-4f);
}

TEST(SurveyRecord, ClaimsBeyondTheLayoutOrTheBufferAreCut) {
    auto b = record(1, 0xFFFFFFFF, 0, [](int) { return true; });
    SurveyRecord r = decodeSurveyRecord(b.data(), b.size());
    EXPECT_EQ(r.storedPoints, SURVEY_RECORD_MAX_POINTS);
    EXPECT_EQ(r.points.size(), size_t(SURVEY_RECORD_MAX_POINTS));
    // A short read: what is missing reads as zero, so those points have no fix.
    SurveyRecord cut = decodeSurveyRecord(b.data(), 1520 + 32 * 10);
    EXPECT_EQ(cut.points.size(), 10u);
    EXPECT_TRUE(decodeSurveyRecord(nullptr, 0).points.empty());
}

TEST(SurveyRecord, ListAndTimeWindow) {
    std::vector<uint8_t> list(16, 0);
    list[0] = 7;
    list[4] = 8;
    list[8] = 0xFF, list[9] = 0xFF, list[10] = 0xFF, list[11] = 0xFF;
    EXPECT_EQ(decodeSurveyList(list.data(), list.size(), 3), (std::vector<int32_t>{7, 8, -1}));
    EXPECT_EQ(decodeSurveyList(list.data(), list.size(), 99).size(), 4u);

    QDateTime now = QDateTime::fromSecsSinceEpoch(1700000000);
    uint32_t t = 1700000000;
    EXPECT_TRUE(surveyRecordInWindow(t - 3599, SurveyWindow::Hours, 0, now));
    EXPECT_TRUE(surveyRecordInWindow(t - 7199, SurveyWindow::Hours, 1, now));
    EXPECT_FALSE(surveyRecordInWindow(t - 7200, SurveyWindow::Hours, 1, now));
    EXPECT_FALSE(surveyRecordInWindow(t - 3 * 86400, SurveyWindow::Days, 2, now));
    EXPECT_TRUE(surveyRecordInWindow(0, SurveyWindow::All, 0, now));
}

TEST(Export, GeoJsonIsAFeatureCollectionOfEveryPoint) {
    auto b = record(1700000000, 3, 2, [](int) { return true; });
    SurveyRecord r = decodeSurveyRecord(b.data(), b.size());
    QByteArray json = exportGeoJson({{r.time, r.doseUnit, r.points}, {r.time + 60, 0, {}}});
    QJsonParseError error;
    QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    QJsonArray features = doc.object()["features"].toArray();
    ASSERT_EQ(features.size(), 3);
    QJsonArray coords = features[0].toObject()["geometry"].toObject()["coordinates"].toArray();
    EXPECT_NEAR(coords[0].toDouble(), 16.6, 1e-5);  // longitude first
    EXPECT_NEAR(coords[1].toDouble(), 49.2, 1e-5);
    QJsonObject props = features[2].toObject()["properties"].toObject();
    EXPECT_EQ(props["time"].toString(), "2023-11-14T22:13:20Z");
    EXPECT_EQ(props["unit"].toString(), QString::fromUtf8("\xC2\xB5R/h"));
    EXPECT_DOUBLE_EQ(props["count_rate"].toDouble(), 102);
}

TEST(Export, CsvHasAHeaderAndOneRowPerPoint) {
    auto b = record(1700000000, 2, 1, [](int) { return true; });
    SurveyRecord r = decodeSurveyRecord(b.data(), b.size());
    QList<QByteArray> lines = exportCsv({{r.time, r.doseUnit, r.points}}).split('\n');
    ASSERT_EQ(lines.size(), 4);  // header, two rows, the empty tail
    EXPECT_EQ(lines[0], "time,latitude,longitude,altitude,count_rate,dose_rate,unit");
    EXPECT_TRUE(lines[1].startsWith("2023-11-14T22:13:20Z,49.")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].endsWith(",101,81.5,nSv/h")) << lines[2].toStdString();
}

TEST(Export, PointsWithAFixButNoUsableCoordinatesAreLeftOutAndCounted) {
    auto b = record(1700000000, 4, 0, [](int) { return true; });
    putf(b, 1524, std::numeric_limits<float>::quiet_NaN());          // latitude of point 0
    putf(b, 1528 + 32 * 2, std::numeric_limits<float>::infinity());  // longitude of point 2
    SurveyRecord r = decodeSurveyRecord(b.data(), b.size());
    std::vector<ExportedRecord> records{{r.time, r.doseUnit, r.points}};
    EXPECT_EQ(unexportablePoints(records), 2);

    QByteArray csv = exportCsv(records);
    EXPECT_EQ(csv.count('\n'), 3) << csv.toStdString();  // the header and two rows
    EXPECT_FALSE(csv.toLower().contains("nan") || csv.toLower().contains("inf"));
    QJsonParseError error;
    QJsonDocument doc = QJsonDocument::fromJson(exportGeoJson(records), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    QJsonArray features = doc.object()["features"].toArray();
    ASSERT_EQ(features.size(), 2);
    for (const QJsonValue &f : features)
        for (const QJsonValue &c : f.toObject()["geometry"].toObject()["coordinates"].toArray())
            EXPECT_TRUE(c.isDouble());
}

}  // namespace
