// What the journal keeps of a survey beside its readings: the events of the instruments' alarms
// and the spectra they sent.
#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <limits>
#include <vector>

struct SurveyAlarm {
    enum Event { Start, Peak, Acknowledged, End };
    enum Reading { DoseRate, CountRate };

    qint64 timeMs = 0;  // milliseconds since the epoch, UTC
    int instrument = 1;
    QString serial;
    Reading reading = DoseRate;
    Event event = Start;
    // The reading at the event (start, peak, end); none for an acknowledgement.
    double value = std::numeric_limits<double>::quiet_NaN();
    int doseUnit = 0;      // the dose-unit code of a dose-rate value
    double threshold = 0;  // in the unit of the value
};

// The names the journal and the exports use: "start", "peak", "acknowledged", "end";
// "dose_rate", "count_rate". Unknown names read as -1.
const char *alarmEventName(SurveyAlarm::Event event);
const char *alarmReadingName(SurveyAlarm::Reading reading);
int alarmEventOf(const QString &name);
int alarmReadingOf(const QString &name);

struct SurveySpectrum {
    qint64 timeMs = 0;  // when it arrived
    int instrument = 1;
    QString serial;
    quint64 liveTime = 0;  // as the instrument counts them
    quint64 clockTime = 0;
    std::vector<int32_t> counts;  // per channel
};
