#include "survey.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {

namespace {

template <typename T>
void put(std::vector<uint8_t> &bytes, size_t at, T value) {
    static_assert(sizeof(T) == 4);
    std::memcpy(bytes.data() + at, &value, sizeof value);  // the hosts we run on are little-endian
}

}  // namespace

std::vector<uint8_t> encode_record(const SurveyRecord &record) {
    using namespace stored;
    std::vector<uint8_t> bytes(kSize, 0);
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(record.points.size(), kMaxPoints));
    put(bytes, kId, record.id);
    put(bytes, kTime, record.time);
    put(bytes, kPointCount, n);
    put(bytes, kUnit, record.unit);
    for (uint32_t j = 0; j < n; ++j) {
        const SurveyPoint &p = record.points[j];
        put(bytes, kCountRates + 4 * j, p.count_rate);
        put(bytes, kDoseRates + 4 * j, p.dose_rate);
        size_t at = kPoints + kPointStride * j;
        put(bytes, at + kValid, static_cast<int32_t>(p.valid));
        put(bytes, at + kLatitude, p.latitude);
        put(bytes, at + kLongitude, p.longitude);
        put(bytes, at + kAltitude, p.altitude);
        put(bytes, at + kSecond, p.second);
    }
    return bytes;
}

SurveyMemory::SurveyMemory(const Walk &walk, const HistoryOptions &options)
    : m_walk(walk), m_options(options) {
    m_options.records = std::clamp(m_options.records, 0, kMaxRecords);
    m_unit = options.unit;
}

int SurveyMemory::size() const {
    return std::max(0, m_options.records - m_first_history + 1) -
           static_cast<int>(m_removed.size()) + static_cast<int>(m_recorded.size());
}

std::vector<int32_t> SurveyMemory::ids(int first, int count) const {
    std::vector<int32_t> out;
    int skip = std::max(first, 1) - 1;
    size_t limit = count > 0 ? static_cast<size_t>(count) : SIZE_MAX;
    auto take = [&](int32_t id) {
        if (skip > 0) {
            --skip;
            return;
        }
        if (out.size() < limit) out.push_back(id);
    };
    for (int32_t id = m_first_history; id <= m_options.records && out.size() < limit; ++id)
        if (!m_removed.count(id)) take(id);
    for (const SurveyRecord &r : m_recorded)
        take(r.id);
    return out;
}

std::optional<SurveyRecord> SurveyMemory::record(int32_t id) const {
    if (id >= m_first_history && id <= m_options.records && !m_removed.count(id))
        return made_up(id);
    for (const SurveyRecord &r : m_recorded)
        if (r.id == id) return r;
    return std::nullopt;
}

bool SurveyMemory::remove(int32_t id) {
    if (id >= m_first_history && id <= m_options.records) return m_removed.insert(id).second;
    auto it = std::find_if(m_recorded.begin(), m_recorded.end(),
                           [id](const SurveyRecord &r) { return r.id == id; });
    if (it == m_recorded.end()) return false;
    if (m_recording && it + 1 == m_recorded.end()) m_recording = false;
    m_recorded.erase(it);
    return true;
}

// Record `id` of the history, the same whenever asked: its time is spread evenly over the window,
// its points walk the track from that time on.
SurveyRecord SurveyMemory::made_up(int32_t id) const {
    const HistoryOptions &o = m_options;
    Random random(mix(m_walk.options().seed, 0x5701E, static_cast<uint64_t>(id)));
    double span = std::max(o.days, 0.0) * 86400;
    double age = (o.records - id) * span / std::max(o.records, 1);
    SurveyRecord r;
    r.id = id;
    r.time = static_cast<uint32_t>(std::max<int64_t>(0, o.end_time - std::llround(age)));
    r.unit = o.unit;
    uint32_t n = 1 + static_cast<uint32_t>(random.next() % stored::kMaxPoints);
    double walk_time = static_cast<double>(r.time) - static_cast<double>(o.end_time);
    for (uint32_t j = 0; j < n; ++j) {
        double t = walk_time + j * o.point_interval;
        Reading reading = read_detector(m_walk, t, 1, mix(0x415707, static_cast<uint64_t>(id), j));
        SurveyPoint p;
        p.valid = random.uniform() < o.fix_share;
        p.latitude = static_cast<float>(reading.position.latitude);
        p.longitude = static_cast<float>(reading.position.longitude);
        p.altitude = static_cast<float>(reading.position.altitude);
        p.count_rate = reading.count_rate;
        p.dose_rate = static_cast<float>(dose_in_unit(reading.dose_rate, o.unit));
        p.second = static_cast<uint32_t>(std::lround(j * o.point_interval));
        r.points.push_back(p);
    }
    return r;
}

void SurveyMemory::drop_oldest() {
    while (size() > kMaxRecords) {
        if (m_first_history <= m_options.records) {
            m_removed.erase(m_first_history);
            ++m_first_history;
        } else {
            m_recorded.pop_front();
        }
    }
}

void SurveyMemory::start(uint32_t time, int unit) {
    if (m_recording) return;
    int32_t id = m_recorded.empty() ? m_options.records + 1 : m_recorded.back().id + 1;
    m_recorded.push_back(SurveyRecord{id, time, unit, {}});
    m_unit = unit;
    m_recording = true;
    drop_oldest();
}

void SurveyMemory::stop() {
    m_recording = false;
}

void SurveyMemory::add_point(const SurveyPoint &point, uint32_t time) {
    if (!m_recording) return;
    if (m_recorded.empty() || m_recorded.back().points.size() >= stored::kMaxPoints) {
        m_recording = false;
        start(time, m_unit);
    }
    SurveyRecord &r = m_recorded.back();
    SurveyPoint p = point;
    p.second = time >= r.time ? time - r.time : 0;
    r.points.push_back(p);
}

}  // namespace sim
