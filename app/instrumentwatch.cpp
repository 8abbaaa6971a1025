#include "instrumentwatch.h"

#include <QDateTime>

#include "device/m30protocol.h"
#include "device/mxxdevice.h"
#include "device/spectrum.h"
#include "device/surveyrecord.h"

namespace {
qint64 now() {
    return QDateTime::currentMSecsSinceEpoch();
}
}  // namespace

InstrumentWatch::InstrumentWatch(QObject *parent) : QObject(parent) {}

InstrumentWatch::~InstrumentWatch() = default;

void InstrumentWatch::attach(M30Protocol &protocol, MXXDevice &device) {
    connect(
        &protocol, &M30Protocol::totalData, this,
        [this](std::shared_ptr<M30_total_data> t) {
            if (t)
                addRates(now(), t->dose_rate, static_cast<int>(t->dose_unit),
                         static_cast<double>(t->count_rate));
        },
        Qt::QueuedConnection);
    connect(
        &protocol, &M30Protocol::statusData, this,
        [this](std::shared_ptr<M30_status> s) {
            if (!s) return;
            // A fix flag over garbage coordinates is no fix.
            const bool fix = s->gps_valid != 0 &&
                             surveyPointUsable({s->gps_latitude, s->gps_longitude, 0, 0, 0});
            addPosition(now(), fix, s->gps_latitude, s->gps_longitude);
        },
        Qt::QueuedConnection);
    connect(
        &protocol, &M30Protocol::spectrumData, this,
        [this](std::shared_ptr<Spectrum> s) {
            if (s) setSpectrum(now(), std::make_shared<const Spectrum>(*s));
        },
        Qt::QueuedConnection);
    connect(
        &device, &MXXDevice::disconnected, this, [this] { linkLost(now()); }, Qt::QueuedConnection);
    connect(
        &device, &MXXDevice::connectionError, this, [this] { linkLost(now()); },
        Qt::QueuedConnection);
}

void InstrumentWatch::addRates(qint64 timeMs, double doseRate, int doseUnit, double countRate) {
    StatisticsReading r;
    r.timeMs = timeMs;
    r.fix = m_fixMs >= 0 && timeMs - m_fixMs <= kFixValidMs;
    r.latitude = r.fix ? m_latitude : 0;
    r.longitude = r.fix ? m_longitude : 0;
    r.doseRate = doseRate;
    r.countRate = countRate;
    m_doseUnit = doseUnit;
    m_statistics.add(r);
    m_samples.push_back(r);
    if (m_samples.size() > kMaxSamples) m_samples.pop_front();
    emit readingsChanged();
    report(DoseRate, m_alarms[DoseRate].add(timeMs, doseRate));
    report(CountRate, m_alarms[CountRate].add(timeMs, countRate));
}

void InstrumentWatch::addPosition(qint64 timeMs, bool fix, double latitude, double longitude) {
    m_fixMs = fix ? timeMs : -1;
    m_latitude = latitude;
    m_longitude = longitude;
}

void InstrumentWatch::linkLost(qint64 timeMs) {
    m_statistics.linkLost(timeMs);
    m_fixMs = -1;
}

void InstrumentWatch::setSpectrum(qint64 timeMs, std::shared_ptr<const Spectrum> spectrum) {
    m_spectrum = std::move(spectrum);
    m_spectrumMs = timeMs;
    emit spectrumChanged();
}

void InstrumentWatch::setThresholds(double doseRate, double countRate, qint64 timeMs) {
    const double thresholds[] = {doseRate, countRate};
    for (Reading r : {DoseRate, CountRate}) {
        const bool was = m_alarms[r].active();
        m_alarms[r].setThreshold(thresholds[r], timeMs);
        if (was && !m_alarms[r].active()) report(r, AlarmMonitor::Cleared);
    }
}

bool InstrumentWatch::acknowledge(qint64 timeMs) {
    bool any = false;
    for (Reading r : {DoseRate, CountRate}) {
        if (!m_alarms[r].acknowledge(timeMs)) continue;
        any = true;
        emit alarmChanged(r, Acknowledged, *m_alarms[r].latest());
    }
    return any;
}

bool InstrumentWatch::alarmActive() const {
    return m_alarms[DoseRate].active() || m_alarms[CountRate].active();
}

bool InstrumentWatch::alarmUnacknowledged() const {
    for (const AlarmMonitor &a : m_alarms)
        if (a.active() && !a.latest()->acknowledged()) return true;
    return false;
}

void InstrumentWatch::report(Reading reading, AlarmMonitor::Change change) {
    if (change == AlarmMonitor::Unchanged) return;
    emit alarmChanged(reading, change == AlarmMonitor::Raised ? Started : Ended,
                      *m_alarms[reading].latest());
}
