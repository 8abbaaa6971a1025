// The MXX library's shared position record: hemisphere flags and two coordinates packed as NMEA
// style degrees and minutes.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
struct MXX_gps_coords {
    uint32_t flags;      // MXX_GPS_NORTH, MXX_GPS_EAST
    uint32_t latitude;   // packed, see MXX_gps_degrees
    uint32_t longitude;  // packed
};
#pragma pack(pop)
static_assert(sizeof(MXX_gps_coords) == 12);

constexpr uint32_t MXX_GPS_NORTH = 1u << 7;
constexpr uint32_t MXX_GPS_EAST = 1u << 8;

// Low 17 bits: degrees * 100 + whole minutes; bits 17-30: fraction of a minute in 1/10000.
// Unsigned degrees; the hemisphere flag gives the sign.
constexpr double MXX_gps_degrees(uint32_t packed) {
    uint32_t whole = packed & 0x1FFFFu;
    uint32_t fraction = (packed >> 17) & 0x3FFFu;
    return whole / 100 + ((whole % 100) + fraction / 10000.0) / 60.0;
}
// South and west are negative.
constexpr double MXX_gps_latitude(const MXX_gps_coords &c) {
    double d = MXX_gps_degrees(c.latitude);
    return (c.flags & MXX_GPS_NORTH) ? d : -d;
}
constexpr double MXX_gps_longitude(const MXX_gps_coords &c) {
    double d = MXX_gps_degrees(c.longitude);
    return (c.flags & MXX_GPS_EAST) ? d : -d;
}
