// Puts what the instruments' watches see into the survey journal: each alarm's start, its
// acknowledgement, its peak and its end, and every spectrum with its time.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QString>

class DeviceStatusWidget;
class SurveySession;

class WatchJournal : public QObject {
    Q_OBJECT

public:
    WatchJournal(SurveySession &survey, QObject *parent);

    // The panel's watch; its events carry the serial of the panel's instrument, as its readings do.
    void addInstrument(int devNum, DeviceStatusWidget &panel);

private:
    SurveySession &m_survey;
};
