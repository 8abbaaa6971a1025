// What the surveyor watches of one instrument: its alarms on the dose rate and the count rate, its
// cumulative dose and statistics, the recent readings the timeline draws and its latest spectrum.
// It listens to the instrument's totals, status and spectrum events itself, so a panel only
// attaches it. Times are the arrival times of the events; the logic beneath takes them as given.
//
// GUI thread only; the protocol's events arrive queued.
#pragma once

#include <QObject>
#include <deque>
#include <memory>

#include "analysis/alarmmonitor.h"
#include "analysis/surveystatistics.h"

class M30Protocol;
class MXXDevice;
class Spectrum;

class InstrumentWatch : public QObject {
    Q_OBJECT

public:
    enum Reading { DoseRate = 0, CountRate = 1 };
    enum AlarmEvent { Started, Acknowledged, Ended };
    // A position is taken as the readings' own while it is this recent.
    static constexpr qint64 kFixValidMs = 5000;
    // What the timeline can show: a day of readings at one a second.
    static constexpr size_t kMaxSamples = 86400;

    explicit InstrumentWatch(QObject *parent = nullptr);
    ~InstrumentWatch() override;

    // Follows the instrument's events; a lost link is a gap in the dose.
    void attach(M30Protocol &protocol, MXXDevice &device);

    void addRates(qint64 timeMs, double doseRate, int doseUnit, double countRate);
    void addPosition(qint64 timeMs, bool fix, double latitude, double longitude);
    void linkLost(qint64 timeMs);
    void setSpectrum(qint64 timeMs, std::shared_ptr<const Spectrum> spectrum);
    // Thresholds of 0 are off.
    void setThresholds(double doseRate, double countRate, qint64 timeMs);
    // Acknowledges every alarm that waits for it; false when none did.
    bool acknowledge(qint64 timeMs);
    // Asks for a reading's place to be shown on the map (the timeline's pick).
    void showOnMap(const StatisticsReading &reading) { emit placeShown(reading); }

    const AlarmMonitor &alarm(Reading reading) const { return m_alarms[reading]; }
    bool alarmActive() const;
    // An active alarm nobody has acknowledged yet.
    bool alarmUnacknowledged() const;
    const SurveyStatistics &statistics() const { return m_statistics; }
    int doseUnit() const { return m_doseUnit; }
    const std::deque<StatisticsReading> &samples() const { return m_samples; }
    std::shared_ptr<const Spectrum> spectrum() const { return m_spectrum; }
    qint64 spectrumMs() const { return m_spectrumMs; }

signals:
    // New rates: the dose, the statistics and the timeline moved on.
    void readingsChanged();
    // `alarm` as it stands after the event.
    void alarmChanged(InstrumentWatch::Reading reading, InstrumentWatch::AlarmEvent event,
                      const AlarmMonitor::Alarm &alarm);
    void spectrumChanged();
    void placeShown(const StatisticsReading &reading);

private:
    void report(Reading reading, AlarmMonitor::Change change);

    AlarmMonitor m_alarms[2];
    SurveyStatistics m_statistics;
    std::deque<StatisticsReading> m_samples;
    int m_doseUnit = 0;
    qint64 m_fixMs = -1;  // when the last fix came; -1 when the last status had none
    double m_latitude = 0;
    double m_longitude = 0;
    std::shared_ptr<const Spectrum> m_spectrum;
    qint64 m_spectrumMs = 0;
};
