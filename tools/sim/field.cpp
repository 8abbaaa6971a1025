#include "field.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>

namespace sim {

namespace {

constexpr double kMetresPerDegreeLat = 111320;
constexpr int kWaypoints = 10;
constexpr int kHotSpots = 4;

double log_factorial(uint32_t k) {
    if (k < 16) {
        double f = 0;
        for (uint32_t i = 2; i <= k; ++i)
            f += std::log(static_cast<double>(i));
        return f;
    }
    // Stirling's series; std::lgamma would write the global signgam from several serving threads.
    double x = k;
    return x * std::log(x) - x + 0.5 * std::log(2 * std::numbers::pi * x) + 1 / (12 * x) -
           1 / (360 * x * x * x);
}

}  // namespace

uint64_t mix(uint64_t a, uint64_t b, uint64_t c) {
    auto step = [](uint64_t z) {
        z += 0x9E3779B97F4A7C15;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        return z ^ (z >> 31);
    };
    return step(step(step(a) ^ b) ^ c);
}

uint64_t Random::next() {
    m_state += 0x9E3779B97F4A7C15;
    uint64_t z = m_state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
}

double Random::uniform() {
    return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53;
}

double Random::normal() {
    double u = uniform(), v = uniform();
    return std::sqrt(-2 * std::log(u)) * std::cos(2 * std::numbers::pi * v);
}

uint32_t Random::poisson(double mean) {
    if (!(mean > 0)) return 0;
    if (mean < 10) {  // multiplication of uniforms
        double limit = std::exp(-mean), product = uniform();
        uint32_t k = 0;
        while (product > limit) {
            ++k;
            product *= uniform();
        }
        return k;
    }
    // Transformed rejection with squeeze (Hörmann, PTRS): exact and O(1) for large means.
    double root = std::sqrt(mean), log_mean = std::log(mean);
    double b = 0.931 + 2.53 * root, a = -0.059 + 0.02483 * b;
    double inv_alpha = 1.1239 + 1.1328 / (b - 3.4), vr = 0.9277 - 3.6224 / (b - 2);
    for (;;) {
        double u = uniform() - 0.5, v = uniform();
        double us = 0.5 - std::fabs(u);
        double k = std::floor((2 * a / us + b) * u + mean + 0.43);
        if (us >= 0.07 && v <= vr) return static_cast<uint32_t>(k);
        if (k < 0 || (us < 0.013 && v > us)) continue;
        if (std::log(v) + std::log(inv_alpha) - std::log(a / (us * us) + b) <=
            -mean + k * log_mean - log_factorial(static_cast<uint32_t>(k)))
            return static_cast<uint32_t>(k);
    }
}

Walk::Walk(const WalkOptions &options) : m_options(options) {
    Random random(mix(options.seed, 0x57A1C));
    m_metres_per_degree_lon =
        kMetresPerDegreeLat * std::cos(options.latitude * std::numbers::pi / 180);
    double speed = std::max(options.speed, 0.1);
    // About four minutes round the loop's centre, so a walk stays on a town map and a drive on a
    // district one.
    double radius = std::clamp(speed * 240, 150.0, 5000.0);
    for (int k = 0; k < kWaypoints; ++k) {
        double step = 2 * std::numbers::pi / kWaypoints;
        double angle = std::numbers::pi + k * step, r = radius;
        if (k > 0) {
            angle += (random.uniform() - 0.5) * 0.5 * step;
            r *= 0.7 + 0.3 * random.uniform();
        }
        // The loop's centre lies east of the start, so waypoint 0 is the start point itself.
        m_track.push_back({radius + r * std::cos(angle), r * std::sin(angle)});
    }
    m_track.push_back(m_track.front());
    m_distance.push_back(0);
    for (size_t i = 1; i < m_track.size(); ++i)
        m_distance.push_back(m_distance.back() +
                             std::hypot(m_track[i].east - m_track[i - 1].east,
                                        m_track[i].north - m_track[i - 1].north));
    m_length = m_distance.back();

    double widen = std::sqrt(std::max(1.0, speed / kWalkingSpeed));
    for (int i = 0; i < kHotSpots; ++i) {
        Point at = along((i + random.uniform()) / kHotSpots * m_length);
        at.east += (random.uniform() - 0.5) * 20;
        at.north += (random.uniform() - 0.5) * 20;
        double peak = 300 * std::pow(10.0, random.uniform());  // 300 to 3000 nGy/h
        m_spots.push_back({at, peak, (8 + 17 * random.uniform()) * widen});
    }
    for (double &phase : m_phase)
        phase = 2 * std::numbers::pi * random.uniform();
}

Walk::Point Walk::along(double distance) const {
    double d = std::fmod(distance, m_length);
    if (d < 0) d += m_length;
    auto next = std::upper_bound(m_distance.begin(), m_distance.end(), d);
    size_t i =
        std::clamp<size_t>(static_cast<size_t>(next - m_distance.begin()), 1, m_track.size() - 1);
    double leg = m_distance[i] - m_distance[i - 1];
    double f = leg > 0 ? (d - m_distance[i - 1]) / leg : 0;
    return {m_track[i - 1].east + f * (m_track[i].east - m_track[i - 1].east),
            m_track[i - 1].north + f * (m_track[i].north - m_track[i - 1].north)};
}

Position Walk::at(double seconds) const {
    double distance = seconds * m_options.speed;
    Point p = along(distance);
    double turn = 2 * std::numbers::pi * distance / m_length;
    return {m_options.latitude + p.north / kMetresPerDegreeLat,
            m_options.longitude + p.east / m_metres_per_degree_lon,
            m_options.altitude + 12 * std::sin(turn + m_phase[3])};
}

Walk::Point Walk::local(const Position &where) const {
    return {(where.longitude - m_options.longitude) * m_metres_per_degree_lon,
            (where.latitude - m_options.latitude) * kMetresPerDegreeLat};
}

double Walk::dose_rate(const Position &where) const {
    Point p = local(where);
    double dose = 70 +
                  20 * std::sin(p.east / 190 + m_phase[0]) * std::cos(p.north / 240 + m_phase[1]) +
                  10 * std::sin((p.east + p.north) / 75 + m_phase[2]);
    for (const HotSpot &s : m_spots) {
        double d2 = (p.east - s.at.east) * (p.east - s.at.east) +
                    (p.north - s.at.north) * (p.north - s.at.north);
        dose += s.peak * std::exp(-d2 / (2 * s.sigma * s.sigma));
    }
    return dose;
}

Reading read_detector(const Walk &walk, double seconds, double interval, uint64_t draw,
                      std::optional<double> dose_rate) {
    Reading r;
    r.position = walk.at(seconds);
    r.dose_rate = dose_rate ? *dose_rate : walk.dose_rate(r.position);
    Random random(mix(walk.options().seed, 0xC0C0, draw));
    double counts = random.poisson(r.dose_rate * kCpsPerNanoGray * interval);
    r.count_rate = static_cast<uint32_t>(std::lround(counts / interval));
    return r;
}

double dose_in_unit(double nanogray_per_hour, int unit) {
    switch (unit) {
        case 2:
            return nanogray_per_hour / 8.77;
        case 3:
            return nanogray_per_hour * 100;
        default:
            return nanogray_per_hour;
    }
}

}  // namespace sim

namespace sim {

double nanogray_of(double rate, int unit) {
    switch (unit) {
        case 2:
            return rate * 8.77;
        case 3:
            return rate / 100;
        default:
            return rate;
    }
}

double dose_profile_at(const std::vector<DosePoint> &profile, double ms) {
    if (profile.empty()) return 0;
    if (ms <= profile.front().ms) return profile.front().rate;
    for (size_t i = 1; i < profile.size(); ++i) {
        const DosePoint &a = profile[i - 1], &b = profile[i];
        if (ms > b.ms) continue;
        if (b.ms <= a.ms) return b.rate;
        return a.rate + (b.rate - a.rate) * (ms - a.ms) / (b.ms - a.ms);
    }
    return profile.back().rate;
}

bool load_dose_profile(const std::string &path, std::vector<DosePoint> &profile,
                       std::string *error) {
    constexpr std::uintmax_t kMaxBytes = 1 << 20;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) ||
        std::filesystem::file_size(path, ec) > kMaxBytes || ec) {
        *error = "the dose profile " + path + " is no regular file of at most 1 MB";
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read the dose profile " + path;
        return false;
    }
    std::vector<DosePoint> loaded;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        DosePoint p;
        std::string rest;
        if (!(words >> p.ms)) {
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        } else if ((words >> p.rate) && !(words >> rest) && std::isfinite(p.ms) &&
                   std::isfinite(p.rate) && p.rate >= 0 &&
                   (loaded.empty() || p.ms >= loaded.back().ms)) {
            loaded.push_back(p);
            continue;
        }
        *error = path + ":" + std::to_string(number) +
                 ": expected 'MS DOSE_RATE' (ascending times, a rate of 0 or more), got '" + line +
                 "'";
        return false;
    }
    if (loaded.empty()) {
        *error = "the dose profile " + path + " has no point";
        return false;
    }
    profile = std::move(loaded);
    return true;
}

}  // namespace sim
