#include "surveyreading.h"

#include <charconv>
#include <cmath>

#include "device/surveyrecord.h"

namespace {

// The shortest decimal that reads back as `f`, as a double.
double floatDigits(double f) {
    if (!std::isfinite(f)) return f;
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, static_cast<float>(f));
    if (ec != std::errc()) return f;
    double d = f;
    std::from_chars(text, end, d);
    return d;
}

}  // namespace

bool SurveyReading::usable() const {
    return fix && std::isfinite(latitude) && std::isfinite(longitude) && std::abs(latitude) <= 90 &&
           std::abs(longitude) <= 180;
}

QString rawDoseRateUnit(int unit) {
    switch (unit) {
        case 1:
            return QStringLiteral("nSv/h");
        case 2:
            return QStringLiteral("\u00B5R/h");
        case 3:
            return QStringLiteral("nrem/h");
        default:
            return QStringLiteral("nGy/h");
    }
}

int doseUnitOfText(const QString &text) {
    for (int unit = 0; unit <= 3; ++unit)
        if (rawDoseRateUnit(unit) == text) return unit;
    return -1;
}

std::vector<SurveyReading> readingsOfRecord(const SurveyRecord &record, qint64 recordId,
                                            int instrument, const QString &serial) {
    std::vector<SurveyReading> readings;
    readings.reserve(record.points.size());
    int ordinal = 0;
    for (const SurveyPoint &p : record.points) {
        SurveyReading r;
        r.timeMs = static_cast<qint64>(record.time) * 1000;
        r.instrument = instrument;
        r.serial = serial;
        // Only points with a fix are stored; one over garbage coordinates keeps no position.
        r.fix = true;
        if (surveyPointUsable(p)) {
            r.latitude = floatDigits(p.latitude);
            r.longitude = floatDigits(p.longitude);
            r.altitude = floatDigits(p.altitude);
        }
        r.countRate = floatDigits(p.cps);
        r.doseRate = floatDigits(p.doseRate);
        r.doseUnit = record.doseUnit;
        r.recordId = recordId;
        r.recordPoint = ordinal++;
        readings.push_back(std::move(r));
    }
    return readings;
}
