#include "surveyrecord.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr size_t kTime = 4, kCount = 8, kUnit = 12, kCps = 556, kDose = 1276, kPoints = 1520;
constexpr size_t kPointSize = 32;

// Little-endian 32-bit field at `offset`; zero where the buffer ends.
uint32_t u32(const uint8_t *b, size_t size, size_t offset) {
    if (offset + 4 > size) return 0;
    return static_cast<uint32_t>(b[offset] | b[offset + 1] << 8 | b[offset + 2] << 16) |
           static_cast<uint32_t>(b[offset + 3]) << 24;
}

float f32(const uint8_t *b, size_t size, size_t offset) {
    uint32_t bits = u32(b, size, offset);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace

bool surveyPointUsable(const SurveyPoint &p) {
    return std::isfinite(p.latitude) && std::isfinite(p.longitude) && std::isfinite(p.altitude) &&
           std::abs(p.latitude) <= 90 && std::abs(p.longitude) <= 180;
}

SurveyRecord decodeSurveyRecord(const uint8_t *buffer, size_t size) {
    SurveyRecord r;
    if (!buffer) return r;
    r.time = u32(buffer, size, kTime);
    r.doseUnit = static_cast<int32_t>(u32(buffer, size, kUnit));
    // The layout holds 60 points; a record that claims more is read up to that and no further.
    r.storedPoints =
        static_cast<int>(std::min<uint32_t>(u32(buffer, size, kCount), SURVEY_RECORD_MAX_POINTS));
    for (int j = 0; j < r.storedPoints; ++j) {
        size_t p = kPoints + kPointSize * static_cast<size_t>(j);
        if (u32(buffer, size, p) == 0) continue;
        r.points.push_back(
            {f32(buffer, size, p + 4), f32(buffer, size, p + 8), f32(buffer, size, p + 12),
             static_cast<float>(u32(buffer, size, kCps + 4 * static_cast<size_t>(j))),
             f32(buffer, size, kDose + 4 * static_cast<size_t>(j))});
    }
    return r;
}

std::vector<int32_t> decodeSurveyList(const uint8_t *buffer, size_t size, int count) {
    std::vector<int32_t> ids;
    if (!buffer || count <= 0) return ids;
    size_t n = std::min<size_t>({static_cast<size_t>(count), size / 4, SURVEY_LIST_MAX});
    for (size_t i = 0; i < n; ++i)
        ids.push_back(static_cast<int32_t>(u32(buffer, size, 4 * i)));
    return ids;
}

bool surveyRecordInWindow(uint32_t t, SurveyWindow window, int value, const QDateTime &now) {
    QDateTime recorded = QDateTime::fromSecsSinceEpoch(t, Qt::UTC).toLocalTime();
    switch (window) {
        case SurveyWindow::All:
            return true;
        case SurveyWindow::Days:
            // Days are counted between local calendar dates, whether `now` is in local time or UTC.
            return recorded.date().daysTo(now.toLocalTime().date()) <= value;
        case SurveyWindow::Hours:
            return recorded.secsTo(now) / 3600 <= value;
    }
    return true;
}
