#include "format.h"

#include <cmath>

namespace {
const QChar kMicro(0x00B5);
const QChar kDegree(0x00B0);
}  // namespace

void formatDose(float value, int unit, QString *valueText, QString *unitText) {
    static const char *const names[] = {"Gy", "Sv", "R", "rem"};
    const QString name = QString::fromLatin1(unit >= 0 && unit <= 3 ? names[unit] : names[0]);
    const bool roentgen = unit == 2;

    // Roentgen readings arrive in µR/h, the others in n…/h: the prefix ladder is shifted by one.
    float scaled = value;
    QString prefix;
    if (value > 1000000.0f) {
        scaled = value / 1000000.0f;
        prefix = roentgen ? QString() : QStringLiteral("m");
    } else if (value > 1000.0f) {
        scaled = value / 1000.0f;
        prefix = roentgen ? QStringLiteral("m") : QString(kMicro);
    } else {
        prefix = roentgen ? QString(kMicro) : QStringLiteral("n");
    }

    if (valueText && !std::isnan(value)) {
        if (value < 0)
            *valueText = QStringLiteral("%1").arg(double(value), 4, 'f', 3);
        else
            *valueText = QStringLiteral("%1").arg(double(scaled), 2, 'f', scaled < 10.0f ? 1 : 0);
    }
    if (unitText) *unitText = QStringLiteral("%1%2").arg(prefix, name);
}

QString formatGpsCoords(double degrees, int axis) {
    // A failed fix must not reach the integer conversions below.
    if (!std::isfinite(degrees)) return QString();

    QString letter;
    if (axis == 1)
        letter = degrees < 0 ? QStringLiteral("S") : QStringLiteral("N");
    else if (axis == 0)
        letter = degrees < 0 ? QStringLiteral("W") : QStringLiteral("E");

    const double a = std::fabs(degrees);
    const double d = std::trunc(a);
    const double minutes = (a - d) * 60.0;
    const double m = std::trunc(minutes);
    // Rounded only when printed, so a hair below a whole minute shows 60.0 seconds.
    const float s = float((minutes - std::floor(minutes)) * 60.0);
    return QStringLiteral("%1%2 %3' %4\" %5")
        .arg(QString::number(d, 'f', 0), QString(kDegree), QString::number(m, 'f', 0),
             QString::number(double(s), 'f', 1), letter);
}

int readingUnit(int unit) {
    return unit == kCountRate || unit == kNoUnit || (unit >= 0 && unit <= 3) ? unit : 0;
}

QString formatReading(double value, int unit) {
    if (unit == kCountRate)
        return std::isnan(value) ? QStringLiteral("- cps")
                                 : QStringLiteral("%1 cps").arg(value, 0, 'g', 6);
    // Without a unit there is no telling which metric prefix the raw number stands for.
    if (unit == kNoUnit)
        return std::isnan(value) ? QStringLiteral("-") : QString::number(value, 'g', 6);
    QString number = QStringLiteral("-"), prefixed;
    formatDose(float(value), unit, &number, &prefixed);
    return QStringLiteral("%1 %2/hr").arg(number, prefixed);
}

QString formatDoseRate(double value, int unitCode) {
    return formatReading(value, unitCode >= 0 && unitCode <= 3 ? unitCode : 0);
}

QString formatAltitude(double metres) {
    if (!std::isfinite(metres)) return QStringLiteral("-");
    return QStringLiteral("%1m").arg(metres, 0, 'f', 0);
}
