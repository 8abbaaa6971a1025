// The exports open in the programs that read them: GeoJSON parses with longitude first, KML and
// GPX open with OGR, CSV reads back as written.
#include <gtest/gtest.h>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <memory>

#include "surveyexport.h"

namespace {

struct CloseDataset {
    void operator()(GDALDataset *d) const { GDALClose(d); }
};
using Dataset = std::unique_ptr<GDALDataset, CloseDataset>;

Dataset openWith(const QString &path, const char *driver) {
    GDALAllRegister();
    const char *const drivers[] = {driver, nullptr};
    return Dataset(
        GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers));
}

// Two instruments taking turns, a reading without a fix among them.
std::vector<SurveyReading> survey() {
    std::vector<SurveyReading> readings;
    for (int i = 0; i < 6; ++i) {
        SurveyReading r;
        r.timeMs = 1700000000000 + 500 * i;
        r.instrument = 1 + i % 2;
        r.serial = QStringLiteral("C000000%1").arg(r.instrument);
        r.fix = i != 3;
        if (r.fix) {
            r.latitude = 49.19 + i * 1e-4;
            r.longitude = 16.61;
            r.altitude = 250 + i;
        }
        r.countRate = 100 + i;
        r.doseRate = i == 5 ? 900 : 80.5;
        r.doseUnit = 1;
        readings.push_back(r);
    }
    return readings;
}

TEST(Export, EachFormatOpensAndReadsBack) {
    const std::vector<SurveyReading> readings = survey();
    QTemporaryDir dir;
    SurveyExportOptions o;
    o.name = "north field";
    o.thresholds = {100, 500};
    o.colours = {Qt::green, Qt::yellow, Qt::red};
    QString error;

    o.format = SurveyFormat::GeoJson;
    QByteArray json;
    ASSERT_TRUE(exportSurvey(readings, o, &json, &error)) << error.toStdString();
    QJsonParseError parse;
    const QJsonArray features =
        QJsonDocument::fromJson(json, &parse).object()["features"].toArray();
    ASSERT_EQ(parse.error, QJsonParseError::NoError) << parse.errorString().toStdString();
    ASSERT_EQ(features.size(), 6);
    const QJsonArray first = features[0].toObject()["geometry"].toObject()["coordinates"].toArray();
    EXPECT_DOUBLE_EQ(first[0].toDouble(), 16.61);  // longitude first
    EXPECT_DOUBLE_EQ(first[1].toDouble(), 49.19);
    EXPECT_TRUE(features[3].toObject()["geometry"].isNull());
    EXPECT_EQ(features[1].toObject()["properties"].toObject()["time"].toString(),
              "2023-11-14T22:13:20.500Z");

    o.format = SurveyFormat::Csv;
    const QString csv = dir.filePath("survey.csv");
    ASSERT_TRUE(exportSurvey(readings, o, csv, &error)) << error.toStdString();
    Dataset table = openWith(csv, "CSV");
    ASSERT_TRUE(table);
    OGRLayer *rows = table->GetLayer(0);
    ASSERT_EQ(rows->GetFeatureCount(), 6);
    for (const SurveyReading &r : readings) {
        std::unique_ptr<OGRFeature> f(rows->GetNextFeature());
        ASSERT_TRUE(f);
        EXPECT_EQ(QString(f->GetFieldAsString("time")),
                  QDateTime::fromMSecsSinceEpoch(r.timeMs, Qt::UTC).toString(Qt::ISODateWithMs));
        if (r.fix) {
            EXPECT_EQ(f->GetFieldAsDouble("latitude"), r.latitude);
            EXPECT_EQ(f->GetFieldAsDouble("longitude"), r.longitude);
        } else {
            EXPECT_STREQ(f->GetFieldAsString("latitude"), "");
        }
        EXPECT_EQ(f->GetFieldAsDouble("count_rate"), r.countRate);
        EXPECT_EQ(f->GetFieldAsDouble("dose_rate"), r.doseRate);
        EXPECT_STREQ(f->GetFieldAsString("unit"), "nSv/h");
        EXPECT_EQ(QString(f->GetFieldAsString("serial")), r.serial);
    }

    o.format = SurveyFormat::Kml;
    const QString kml = dir.filePath("survey.kml");
    ASSERT_TRUE(exportSurvey(readings, o, kml, &error)) << error.toStdString();
    Dataset placemarks = openWith(kml, "KML");
    ASSERT_TRUE(placemarks);
    ASSERT_EQ(placemarks->GetLayerCount(), 1);
    EXPECT_EQ(placemarks->GetLayer(0)->GetFeatureCount(), 5);  // the one without a fix has no place
    QFile kmlFile(kml);
    ASSERT_TRUE(kmlFile.open(QIODevice::ReadOnly));
    const QByteArray kmlText = kmlFile.readAll();
    // KML colours are aabbggrr: green below 100, red from 500.
    EXPECT_EQ(kmlText.count("<color>c800ff00</color>"), 4) << kmlText.toStdString();
    EXPECT_EQ(kmlText.count("<color>c80000ff</color>"), 1);

    o.format = SurveyFormat::Gpx;
    const QString gpx = dir.filePath("survey.gpx");
    ASSERT_TRUE(exportSurvey(readings, o, gpx, &error)) << error.toStdString();
    Dataset tracks = openWith(gpx, "GPX");
    ASSERT_TRUE(tracks);
    ASSERT_NE(tracks->GetLayerByName("tracks"), nullptr);
    EXPECT_EQ(tracks->GetLayerByName("tracks")->GetFeatureCount(), 2);  // one per instrument
    OGRLayer *points = tracks->GetLayerByName("track_points");
    ASSERT_NE(points, nullptr);
    EXPECT_EQ(points->GetFeatureCount(), 5);
    std::unique_ptr<OGRFeature> p(points->GetNextFeature());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetFieldAsDouble("survokart_count_rate"), 100);
    EXPECT_EQ(p->GetGeometryRef()->toPoint()->getX(), 16.61);

    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{"survey.csv", "survey.gpx", "survey.kml"}));
}

}  // namespace

// The cumulative dose runs per instrument over its live readings and skips a gap; the alarm
// column marks the readings of the instrument whose alarm was on, from start to end inclusive.
TEST(Export, CumulativeDoseAndAlarmsComeAfterEveryOtherColumn) {
    std::vector<SurveyReading> readings;
    auto add = [&](qint64 second, int instrument, double doseRate) {
        SurveyReading r;
        r.timeMs = 1700000000000 + second * 1000;
        r.instrument = instrument;
        r.countRate = 10;
        r.doseRate = doseRate;
        r.doseUnit = 1;
        readings.push_back(r);
    };
    add(0, 1, 3600);
    add(0, 2, 7200);
    add(1, 1, 7200);   // + 1.5 nSv
    add(2, 1, 3600);   // + 1.5
    add(1, 2, 7200);   // + 2
    add(60, 1, 1e9);   // after a gap: nothing
    add(61, 1, 3600);  // + (1e9 + 3600) / 2 / 3600
    SurveyAlarm start, end;
    start.timeMs = readings[2].timeMs;
    start.instrument = 1;
    end = start;
    end.event = SurveyAlarm::End;
    end.timeMs = readings[3].timeMs;
    SurveyAlarm counts = start;
    counts.reading = SurveyAlarm::CountRate;
    counts.timeMs = readings[3].timeMs;  // never ended

    SurveyExportOptions o;
    o.watchColumns = true;
    o.alarms = {start, counts, end};
    QByteArray csv;
    QString error;
    ASSERT_TRUE(exportSurvey(readings, o, &csv, &error)) << error.toStdString();
    const QList<QByteArray> lines = csv.split('\n');
    ASSERT_EQ(lines.size(), 9) << csv.toStdString();
    EXPECT_TRUE(lines[0].endsWith(",instrument,serial,fix,downloaded,dose,alarm"));
    const double dose61 = 3 + (1e9 + 3600) / 2 / 3600;
    const char *const tails[] = {",0,", ",0,",          ",1.5,dose_rate", ",3,dose_rate+count_rate",
                                 ",2,", ",3,count_rate"};
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(lines[1 + i].endsWith(tails[i])) << lines[1 + i].toStdString();
    const QList<QByteArray> last = lines[7].split(',');
    EXPECT_NEAR(last[last.size() - 2].toDouble(), dose61, dose61 * 1e-9);
    EXPECT_EQ(last.back(), "count_rate");
}
