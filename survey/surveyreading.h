// One reading of a survey as the journal keeps it and the exporter writes it: a live reading of an
// instrument, or a point of a record downloaded from one.
#pragma once

#include <QMetaType>
#include <QString>
#include <QtGlobal>

#include <limits>
#include <vector>

struct SurveyRecord;

struct SurveyReading {
    static constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

    qint64 timeMs = 0;   // milliseconds since the epoch, UTC
    int instrument = 1;  // 1..3, the panel it came through
    QString serial;
    bool fix = false;  // the instrument's GPS fix flag; the position counts only with usable()
    double latitude = kNone;
    double longitude = kNone;
    double altitude = kNone;
    double countRate = kNone;  // counts per second
    double doseRate = kNone;   // raw, in the unit of doseUnit
    int doseUnit = 0;          // the instrument's dose-unit code, 0 Gy, 1 Sv, 2 R, 3 rem
    // A downloaded reading: its stored record and its place among that record's points; -1 live.
    qint64 recordId = -1;
    int recordPoint = -1;

    bool downloaded() const { return recordId >= 0; }
    // A fix over finite coordinates in range: the reading has a place on the map.
    bool usable() const;
};

Q_DECLARE_METATYPE(SurveyReading)

// The unit of a raw dose-rate reading of a dose-unit code ("nGy/h", "nSv/h", "µR/h", "nrem/h");
// any other code reads as Gy.
QString rawDoseRateUnit(int unit);
// The dose-unit code of such a unit text; -1 when it is none of them.
int doseUnitOfText(const QString &text);

// The points of a downloaded record as readings of `instrument`. Values the instrument stores as
// single-precision floats keep the digits a float holds, not the noise of widening it.
std::vector<SurveyReading> readingsOfRecord(const SurveyRecord &record, qint64 recordId,
                                            int instrument, const QString &serial);
