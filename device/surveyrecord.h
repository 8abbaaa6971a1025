// Survey records as an M30 stores them, and the time window a download keeps. Pure functions:
// the download dialog and the command-line tool share them.
#pragma once

#include <QDateTime>

#include <cstddef>
#include <cstdint>
#include <vector>

// Buffer sizes of the transfers that read the record list and one stored record.
constexpr int SURVEY_LIST_MAX = 10000;
constexpr int SURVEY_LIST_BYTES = SURVEY_LIST_MAX * 4;
constexpr int SURVEY_RECORD_BYTES = 3436;
constexpr int SURVEY_RECORD_MAX_POINTS = 60;

// One stored point with a GPS fix.
struct SurveyPoint {
    double latitude;
    double longitude;
    double altitude;
    float cps;
    float doseRate;
};

// Whether a point's position can be used: finite, latitude and longitude in range. A fix flag
// over garbage coordinates would put NaN on the map and into exported files.
bool surveyPointUsable(const SurveyPoint &point);

struct SurveyRecord {
    uint32_t time = 0;  // seconds since 1970-01-01 00:00 UTC
    int doseUnit = 0;
    int storedPoints = 0;             // as the record claims, capped to what the layout holds
    std::vector<SurveyPoint> points;  // the points with a fix, in stored order
};

// Decodes a record read into a zero-filled buffer; bytes beyond `size` read as zero.
SurveyRecord decodeSurveyRecord(const uint8_t *buffer, size_t size);

// The record ids of a record list (signed 32-bit each), oldest first.
std::vector<int32_t> decodeSurveyList(const uint8_t *buffer, size_t size, int count);

enum class SurveyWindow { All = 0, Days = 1, Hours = 2 };

// Whether a record of time `t` is inside the window of `value` days or hours before `now`.
// Days count calendar days in local time; hours are whole hours.
bool surveyRecordInWindow(uint32_t t, SurveyWindow window, int value, const QDateTime &now);
