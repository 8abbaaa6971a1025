#pragma once

#include <QString>

// Number text and unit text (with metric prefix) of a raw dose or dose-rate reading; `unit` is the
// instrument's unit code (0 Gy, 1 Sv, 2 R, 3 rem, anything else Gy). A NaN leaves `valueText`.
void formatDose(float value, int unit, QString *valueText, QString *unitText);

// Degrees, minutes, seconds and hemisphere letter; `axis` 1 for a latitude, 0 for a longitude.
QString formatGpsCoords(double degrees, int axis);

// The unit of a count-rate reading, beside the instrument's dose-unit codes.
constexpr int kCountRate = -1;
// A dose rate whose unit no instrument has told yet.
constexpr int kNoUnit = -2;

// The unit as the map keeps it: kCountRate, kNoUnit, or a dose-unit code 0..3; any other code
// formats as Gy and becomes 0.
int readingUnit(int unit);

// A reading with its unit as every window shows it: a dose rate (raw, in the unit of the dose-unit
// code) as "85 nSv/hr", a count rate (`unit` kCountRate) as "250 cps" (six significant digits,
// exponent from 1e6 on), a dose rate of no known unit as the raw number alone. A NaN reading
// shows as "-" in place of the number.
QString formatReading(double value, int unit);

// A dose rate as an instrument reports it, with its raw dose-unit code (any code but 0..3 stands
// for Gy, never for a count rate).
QString formatDoseRate(double value, int unitCode);

// An altitude in whole metres, "310m"; "-" when not a number.
QString formatAltitude(double metres);
