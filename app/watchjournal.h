// Puts what the instruments' watches see into the survey journal: each alarm's start, its
// acknowledgement, its peak and its end, and every spectrum with its time.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class InstrumentWatch;
class SurveySession;

class WatchJournal : public QObject {
    Q_OBJECT

public:
    WatchJournal(SurveySession &survey, QObject *parent);

    // `serial`: the instrument's serial as its readings are journalled with.
    void addInstrument(int devNum, InstrumentWatch &watch, std::function<QString()> serial);

private:
    SurveySession &m_survey;
};
