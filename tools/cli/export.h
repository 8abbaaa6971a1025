// Downloaded survey points as CSV or GeoJSON.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

#include "device/surveyrecord.h"

struct ExportedRecord {
    uint32_t time;
    int doseUnit;
    std::vector<SurveyPoint> points;
};

enum class ExportFormat { Csv, GeoJson };

// The unit of a raw dose-rate reading of a dose-unit code ("nGy/h", "nSv/h", "µR/h", "nrem/h").
QString rawDoseRateUnit(int unit);

// Whether a point can stand in a file: finite coordinates, latitude and longitude in range. The
// exports leave out the others.
bool exportablePoint(const SurveyPoint &point);
// How many points the exports leave out.
int unexportablePoints(const std::vector<ExportedRecord> &records);

QByteArray exportCsv(const std::vector<ExportedRecord> &records);
QByteArray exportGeoJson(const std::vector<ExportedRecord> &records);
