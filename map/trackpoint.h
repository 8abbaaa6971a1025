#pragma once

#include <QtGlobal>
#include <limits>

// One point of the survey track: WGS84 position in degrees, altitude in metres (display only), the
// reading that colours it, and its scene position, computed once when the point is added; then
// what a surveyor asks of a point on the map: what the reading is, when and by which device.
struct TTrackPoint {
    static constexpr qint64 kNoTime = std::numeric_limits<qint64>::min();

    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    double value = 0;
    double sceneX = 0;
    double sceneY = 0;
    qint64 time = kNoTime;  // milliseconds since the epoch, UTC
    int unit = 0;           // a dose-unit code, or kCountRate (format.h) for a count rate
    int device = 0;         // 1..3; 0 when not known
};
