#pragma once

#include <QString>

// Number text and unit text (with metric prefix) of a raw dose or dose-rate reading; `unit` is the
// instrument's unit code (0 Gy, 1 Sv, 2 R, 3 rem, anything else Gy). A NaN leaves `valueText`.
void formatDose(float value, int unit, QString *valueText, QString *unitText);

// Degrees, minutes, seconds and hemisphere letter; `axis` 1 for a latitude, 0 for a longitude.
QString formatGpsCoords(double degrees, int axis);
