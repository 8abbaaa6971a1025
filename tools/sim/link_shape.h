// The line between a simulated instrument and its host, as slow as the field's: a serial line or
// a radio rather than loopback. What the instrument sends leaves no faster than the line's rate
// and arrives its latency later; what it receives arrives its latency later.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace sim {

struct LinkShape {
    double bytes_per_s = 0;  // 0: as fast as the host reads
    double latency_ms = 0;   // each way; may be fractional
    bool shaped() const { return bytes_per_s > 0 || latency_ms > 0; }
};

// Links of the field, accepted by name in place of the numbers.
struct LinkProfile {
    std::string_view name;
    LinkShape shape;
};
inline constexpr std::array kLinkProfiles = {
    LinkProfile{"serial115200", {11520, 1}},
    LinkProfile{"bluetooth", {40000, 25}},
    LinkProfile{"usb", {1000000, 0.5}},
};

// "BYTES_PER_S,LATENCY_MS" or a profile's name. On a bad value, returns false and puts a message
// that says what is expected in *error.
bool parse_link(std::string_view text, LinkShape &shape, std::string *error);

// A rate of 1 to 1e9 bytes per second (0 for none) and a latency of 0 to 60000 ms.
bool check_link(const LinkShape &shape, std::string *error);

}  // namespace sim
