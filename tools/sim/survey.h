// The instrument's survey memory: stored records in the byte layout the station downloads, a
// history made up on demand, and the records the instrument writes while it records a survey.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <vector>

#include "field.h"

namespace sim {

// One stored survey record as a transfer buffer of kind 3 carries it. Little-endian; the bytes
// not named here are zero.
namespace stored {
constexpr size_t kSize = 3436;
constexpr size_t kId = 0;            // signed 32-bit record id
constexpr size_t kTime = 4;          // unsigned 32-bit, seconds since 1970 UTC
constexpr size_t kPointCount = 8;    // unsigned 32-bit
constexpr size_t kUnit = 12;         // signed 32-bit dose-unit code
constexpr size_t kCountRates = 556;  // unsigned 32-bit per point
constexpr size_t kDoseRates = 1276;  // float per point
constexpr size_t kPoints = 1520;     // 32 bytes per point:
constexpr size_t kPointStride = 32;
constexpr size_t kValid = 0;  // signed 32-bit, non-zero = GPS fix
constexpr size_t kLatitude = 4, kLongitude = 8, kAltitude = 12;  // floats
constexpr size_t kSecond = 16;       // unsigned 32-bit, seconds after the record time
constexpr uint32_t kMaxPoints = 60;  // the last point's fields end 8 bytes before the end
}  // namespace stored

// The instrument keeps this many records; recording beyond it drops the oldest.
constexpr int kMaxRecords = 10000;

struct SurveyPoint {
    bool valid = false;
    float latitude = 0, longitude = 0, altitude = 0;
    uint32_t count_rate = 0;
    float dose_rate = 0;  // in the record's unit
    uint32_t second = 0;
};

struct SurveyRecord {
    int32_t id = 0;
    uint32_t time = 0;
    int32_t unit = 0;
    std::vector<SurveyPoint> points;  // at most stored::kMaxPoints
};

std::vector<uint8_t> encode_record(const SurveyRecord &record);

struct HistoryOptions {
    int records = 0;            // N records made up at start, ids 1..N
    double days = 7;            // spread over the last D days, the newest last
    double fix_share = 0.9;     // share of points with a GPS fix
    int64_t end_time = 0;       // the newest record's time (seconds since 1970)
    int unit = 0;               // dose-unit code of every record
    double point_interval = 5;  // seconds between the points of one record
};

// Not thread-safe: its owner locks.
class SurveyMemory {
public:
    SurveyMemory(const Walk &walk, const HistoryOptions &options);

    // Ids of the stored records, oldest first, from the 1-based position `first`, at most `count`
    // (count <= 0: all).
    std::vector<int32_t> ids(int first = 1, int count = 0) const;
    int size() const;
    std::optional<SurveyRecord> record(int32_t id) const;
    bool remove(int32_t id);

    // Survey recording: points go to the newest record, a new one when it is full.
    void start(uint32_t time, int unit);
    void stop();
    bool recording() const { return m_recording; }
    void add_point(const SurveyPoint &point, uint32_t time);

private:
    SurveyRecord made_up(int32_t id) const;
    void drop_oldest();

    const Walk &m_walk;
    HistoryOptions m_options;
    int32_t m_first_history = 1;          // history ids below it were dropped
    std::set<int32_t> m_removed;          // history ids deleted by the host
    std::deque<SurveyRecord> m_recorded;  // ids after the history's
    bool m_recording = false;
    int m_unit = 0;
};

}  // namespace sim
