#include "export.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace {

QString isoTime(uint32_t t) {
    return QDateTime::fromSecsSinceEpoch(t, Qt::UTC).toString(Qt::ISODate);
}

// Enough digits to round-trip a single-precision value, no more.
QString number(double v) {
    return QString::number(v, 'g', 9);
}

}  // namespace

QString rawDoseRateUnit(int unit) {
    switch (unit) {
        case 1:
            return "nSv/h";
        case 2:
            return QStringLiteral("\u00B5R/h");
        case 3:
            return "nrem/h";
        default:
            return "nGy/h";
    }
}

bool exportablePoint(const SurveyPoint &p) {
    // A fix flag over garbage coordinates would put NaN in a CSV and null into GeoJSON geometry.
    return surveyPointUsable(p);
}

int unexportablePoints(const std::vector<ExportedRecord> &records) {
    int n = 0;
    for (const ExportedRecord &r : records)
        n += static_cast<int>(
            std::count_if(r.points.begin(), r.points.end(),
                          [](const SurveyPoint &p) { return !exportablePoint(p); }));
    return n;
}

QByteArray exportCsv(const std::vector<ExportedRecord> &records) {
    QByteArray out = "time,latitude,longitude,altitude,count_rate,dose_rate,unit\n";
    for (const ExportedRecord &r : records) {
        for (const SurveyPoint &p : r.points) {
            if (!exportablePoint(p)) continue;
            QStringList row = {
                isoTime(r.time), number(p.latitude), number(p.longitude),        number(p.altitude),
                number(p.cps),   number(p.doseRate), rawDoseRateUnit(r.doseUnit)};
            out += row.join(',').toUtf8() + '\n';
        }
    }
    return out;
}

QByteArray exportGeoJson(const std::vector<ExportedRecord> &records) {
    QJsonArray features;
    for (const ExportedRecord &r : records) {
        for (const SurveyPoint &p : r.points) {
            if (!exportablePoint(p)) continue;
            QJsonObject geometry{{"type", "Point"},
                                 {"coordinates", QJsonArray{p.longitude, p.latitude, p.altitude}}};
            QJsonObject properties{{"time", isoTime(r.time)},
                                   {"count_rate", p.cps},
                                   {"dose_rate", p.doseRate},
                                   {"unit", rawDoseRateUnit(r.doseUnit)}};
            features.append(QJsonObject{
                {"type", "Feature"}, {"geometry", geometry}, {"properties", properties}});
        }
    }
    QJsonObject collection{{"type", "FeatureCollection"}, {"features", features}};
    return QJsonDocument(collection).toJson(QJsonDocument::Indented);
}
