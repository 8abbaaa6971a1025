#include "surveyevents.h"

namespace {
const char *const kEvents[] = {"start", "peak", "acknowledged", "end"};
const char *const kReadings[] = {"dose_rate", "count_rate"};

template <size_t N>
int indexOf(const char *const (&names)[N], const QString &name) {
    for (size_t i = 0; i < N; ++i)
        if (name == QLatin1String(names[i])) return int(i);
    return -1;
}
}  // namespace

const char *alarmEventName(SurveyAlarm::Event event) {
    return kEvents[event];
}

const char *alarmReadingName(SurveyAlarm::Reading reading) {
    return kReadings[reading];
}

int alarmEventOf(const QString &name) {
    return indexOf(kEvents, name);
}

int alarmReadingOf(const QString &name) {
    return indexOf(kReadings, name);
}
