// The world the simulated instrument walks through: a closed track from a start point, a radiation
// field over it (natural background and a few hot spots), and the random draws of the detector.
// Everything is a pure function of a seed and a time, so two runs with one seed agree and any
// reading can be recomputed instead of stored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// A stable hash of up to three numbers (splitmix64 finaliser chain).
uint64_t mix(uint64_t a, uint64_t b = 0, uint64_t c = 0);

// A small seeded generator. Its sequence depends on nothing but the seed: the standard
// distributions differ between libraries, so uniform, normal and Poisson draws are built here.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t next();
    double uniform();  // in (0, 1), never 0
    double normal();   // mean 0, deviation 1
    uint32_t poisson(double mean);

private:
    uint64_t m_state;
};

struct Position {
    double latitude = 0;  // degrees, south negative
    double longitude = 0;
    double altitude = 0;  // metres
};

struct WalkOptions {
    double latitude = 49.2;  // start point; the demo map is centred here
    double longitude = 16.6;
    double altitude = 230;
    double speed = 1.4;  // metres per second: 1.4 walks, 14 drives
    uint64_t seed = 1;
};

constexpr double kWalkingSpeed = 1.4;
constexpr double kDrivingSpeed = 14;
// Counts per second per nGy/h of the simulated detector: a background of 80 nGy/h gives about
// 200 cps, as a hand-held scintillation probe would.
constexpr double kCpsPerNanoGray = 2.5;

// The track and the field. Immutable after construction, so any thread may ask it.
class Walk {
public:
    explicit Walk(const WalkOptions &options);

    // Where the walker is `seconds` after setting out; the track is a loop, walked again and
    // again (negative times walk it backwards, which the history uses for past records).
    Position at(double seconds) const;
    // The true ambient dose rate in nGy/h at a position.
    double dose_rate(const Position &where) const;
    double track_length() const { return m_length; }
    const WalkOptions &options() const { return m_options; }

private:
    struct Point {
        double east, north;  // metres from the start point
    };
    struct HotSpot {
        Point at;
        double peak;   // nGy/h above background at the centre
        double sigma;  // metres
    };
    Point along(double distance) const;
    Point local(const Position &where) const;

    WalkOptions m_options;
    std::vector<Point> m_track;      // closed: the last leg returns to the first point
    std::vector<double> m_distance;  // distance at each point from the start
    double m_length = 0;
    double m_metres_per_degree_lon = 0;
    std::vector<HotSpot> m_spots;
    double m_phase[4] = {};
};

// One detector reading: the field's dose rate and the counts drawn from it over `interval`.
struct Reading {
    Position position;
    double dose_rate = 0;  // nGy/h
    uint32_t count_rate = 0;
};

// The reading at walk time `seconds`, counting for `interval` seconds; `draw` picks the Poisson
// sample, so the same draw number gives the same counts. A `dose_rate` (nGy/h) given replaces the
// field's.
Reading read_detector(const Walk &walk, double seconds, double interval, uint64_t draw,
                      std::optional<double> dose_rate = std::nullopt);

// A scripted dose rate: points of (milliseconds into the run, dose rate in the instrument's raw
// unit), ascending in time, joined by straight lines and held beyond the ends.
struct DosePoint {
    double ms = 0;
    double rate = 0;
};
double dose_profile_at(const std::vector<DosePoint> &profile, double ms);
// Reads "MS DOSE_RATE" lines ('#' starts a comment) from a regular file of at most 1 MB.
bool load_dose_profile(const std::string &path, std::vector<DosePoint> &profile,
                       std::string *error);

// Dose-rate codes of the instrument: 0 Gy, 1 Sv, 2 R, 3 rem. The value of an nGy/h rate in the raw
// unit of a code: nGy/h, nSv/h (photons: 1 Sv per Gy), µR/h (8.77 nGy per µR in air) or nrem/h.
double dose_in_unit(double nanogray_per_hour, int unit);
// The other way: nGy/h of a rate in the raw unit of a code.
double nanogray_of(double rate, int unit);

}  // namespace sim
