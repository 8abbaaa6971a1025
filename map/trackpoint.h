#pragma once

#include <QtGlobal>
#include <cmath>
#include <limits>

// One point of the survey track: WGS84 position in degrees, altitude in metres (display only),
// both readings of the instrument, either of which may colour it, and its scene position, computed
// when the point is added and again when another map is chosen; then what a surveyor asks of a
// point on the map: when it was measured and by which device.
struct TTrackPoint {
    static constexpr qint64 kNoTime = std::numeric_limits<qint64>::min();

    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    double value = 0;  // the dose rate, raw in the unit of `unit`; NaN when not measured
    double sceneX = 0;
    double sceneY = 0;
    qint64 time = kNoTime;   // milliseconds since the epoch, UTC
    int unit = 0;            // of the dose rate: a dose-unit code, or kNoUnit (format.h)
    int device = 0;          // 1..3; 0 when not known
    double countRate = NAN;  // counts per second; NaN when not measured
};
