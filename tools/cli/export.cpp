#include "export.h"

#include <algorithm>

namespace {

std::vector<SurveyReading> readingsOf(const std::vector<ExportedRecord> &records) {
    std::vector<SurveyReading> readings;
    qint64 id = 0;
    for (const ExportedRecord &r : records) {
        SurveyRecord record;
        record.time = r.time;
        record.doseUnit = r.doseUnit;
        record.points = r.points;
        std::vector<SurveyReading> points = readingsOfRecord(record, id++, 1, QString());
        readings.insert(readings.end(), points.begin(), points.end());
    }
    return readings;
}

QByteArray bytesOf(const std::vector<ExportedRecord> &records, SurveyFormat format) {
    QByteArray bytes;
    QString error;
    return exportRecords(records, format, &bytes, &error) ? bytes : QByteArray();
}

}  // namespace

int unexportablePoints(const std::vector<ExportedRecord> &records) {
    int n = 0;
    for (const ExportedRecord &r : records)
        n += static_cast<int>(
            std::count_if(r.points.begin(), r.points.end(),
                          [](const SurveyPoint &p) { return !surveyPointUsable(p); }));
    return n;
}

bool exportRecords(const std::vector<ExportedRecord> &records, SurveyFormat format,
                   QByteArray *bytes, QString *error) {
    SurveyExportOptions o;
    o.format = format;
    o.instrumentColumns = false;
    // A fix flag over garbage coordinates would put nothing where scripts expect a position.
    o.positionedOnly = true;
    return exportSurvey(readingsOf(records), o, bytes, error);
}

QByteArray exportCsv(const std::vector<ExportedRecord> &records) {
    return bytesOf(records, SurveyFormat::Csv);
}

QByteArray exportGeoJson(const std::vector<ExportedRecord> &records) {
    return bytesOf(records, SurveyFormat::GeoJson);
}
