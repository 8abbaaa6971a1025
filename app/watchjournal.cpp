#include "watchjournal.h"

#include "device/spectrum.h"
#include "devicestatuswidget.h"
#include "instrumentwatch.h"
#include "survey/surveyevents.h"
#include "surveysession.h"

WatchJournal::WatchJournal(SurveySession &survey, QObject *parent)
    : QObject(parent), m_survey(survey) {}

void WatchJournal::addInstrument(int devNum, DeviceStatusWidget &panel) {
    InstrumentWatch &watch = panel.watch();
    connect(&watch, &InstrumentWatch::alarmChanged, this,
            [this, devNum, &watch, &panel](InstrumentWatch::Reading reading,
                                           InstrumentWatch::AlarmEvent event,
                                           const AlarmMonitor::Alarm &alarm) {
                SurveyAlarm a;
                a.instrument = devNum;
                a.serial = panel.serial();
                a.reading = reading == InstrumentWatch::DoseRate ? SurveyAlarm::DoseRate
                                                                 : SurveyAlarm::CountRate;
                a.doseUnit = watch.doseUnit();
                a.threshold = watch.alarm(reading).threshold();
                auto add = [&](SurveyAlarm::Event what, qint64 timeMs, double value) {
                    a.event = what;
                    a.timeMs = timeMs;
                    a.value = value;
                    m_survey.add(a);
                };
                switch (event) {
                    case InstrumentWatch::Started:
                        add(SurveyAlarm::Start, alarm.startMs, alarm.startValue);
                        break;
                    case InstrumentWatch::Acknowledged:
                        add(SurveyAlarm::Acknowledged, alarm.acknowledgedMs, SurveyAlarm().value);
                        break;
                    case InstrumentWatch::Ended:
                        // The peak is known once the excursion is over.
                        add(SurveyAlarm::Peak, alarm.peakMs, alarm.peakValue);
                        add(SurveyAlarm::End, alarm.endMs, SurveyAlarm().value);
                        break;
                }
            });
    connect(&watch, &InstrumentWatch::spectrumChanged, this, [this, devNum, &watch, &panel] {
        const std::shared_ptr<const Spectrum> s = watch.spectrum();
        if (!s) return;
        SurveySpectrum p;
        p.timeMs = watch.spectrumMs();
        p.instrument = devNum;
        p.serial = panel.serial();
        p.liveTime = s->liveTime();
        p.clockTime = s->clockTime();
        p.counts.assign(s->data().begin(), s->data().end());
        m_survey.add(p);
    });
}
