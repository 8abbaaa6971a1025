// Downloaded survey records in the download command's CSV and GeoJSON, written by the survey
// library's exporter with the columns and order the command has always had.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

#include "device/surveyrecord.h"
#include "surveyexport.h"

struct ExportedRecord {
    uint32_t time;
    int doseUnit;
    std::vector<SurveyPoint> points;
};

// How many points the exports leave out: those with a fix but no usable coordinates.
int unexportablePoints(const std::vector<ExportedRecord> &records);

// The records as `format`, oldest first as given; false with `error` set.
bool exportRecords(const std::vector<ExportedRecord> &records, SurveyFormat format,
                   QByteArray *bytes, QString *error);
// The same, empty when it cannot be written.
QByteArray exportCsv(const std::vector<ExportedRecord> &records);
QByteArray exportGeoJson(const std::vector<ExportedRecord> &records);
