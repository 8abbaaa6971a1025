#pragma once

// One point of the survey track: WGS84 position in degrees, altitude in metres (display only), the
// reading that colours it, and its scene position, computed once when the point is added.
struct TTrackPoint {
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    double value = 0;
    double sceneX = 0;
    double sceneY = 0;
};
