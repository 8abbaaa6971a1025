#include "link_shape.h"

#include <charconv>
#include <cmath>

namespace sim {

namespace {

constexpr double kMaxRate = 1e9, kMaxLatencyMs = 60000;

bool fail(std::string *error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

bool parse_number(std::string_view text, double &out) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return !text.empty() && ec == std::errc() && ptr == end && std::isfinite(out);
}

std::string expected() {
    std::string names;
    for (const LinkProfile &p : kLinkProfiles)
        names.append(names.empty() ? "" : ", ").append(p.name);
    return "link needs BYTES_PER_S,LATENCY_MS (1 to 1000000000 bytes per second, 0 to 60000 "
           "ms) or one of " +
           names;
}

}  // namespace

bool check_link(const LinkShape &s, std::string *error) {
    bool rate = s.bytes_per_s == 0 || (s.bytes_per_s >= 1 && s.bytes_per_s <= kMaxRate);
    bool latency = s.latency_ms >= 0 && s.latency_ms <= kMaxLatencyMs;
    return rate && latency ? true : fail(error, expected());
}

bool parse_link(std::string_view text, LinkShape &shape, std::string *error) {
    for (const LinkProfile &p : kLinkProfiles)
        if (text == p.name) {
            shape = p.shape;
            return true;
        }
    std::string got = ", got '";  // built by appending: GCC 12 misreports operator+ at -O3
    got.append(text).append("'");
    size_t comma = text.find(',');
    LinkShape parsed;
    if (comma == std::string_view::npos ||
        !parse_number(text.substr(0, comma), parsed.bytes_per_s) ||
        !parse_number(text.substr(comma + 1), parsed.latency_ms) || parsed.bytes_per_s < 1 ||
        !check_link(parsed, nullptr))
        return fail(error, expected() + got);
    shape = parsed;
    return true;
}

}  // namespace sim
