// The survey the window journals into: one is always open, from the first start on, so that no
// reading goes unjournalled. Each survey has a GeoPackage of its own in the surveys folder. A
// survey that was interrupted (the program crashed, the power went) can be reopened; its readings
// are then read back on a thread of their own and handed over in batches to be redrawn.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

#include <memory>
#include <vector>

#include "survey/surveyevents.h"
#include "survey/surveyreading.h"

class SurveyJournal;
class SurveyLoader;

class SurveySession : public QObject {
    Q_OBJECT

public:
    explicit SurveySession(QObject *parent = nullptr);
    // Stops reading back and closes the journal without ending the survey.
    ~SurveySession() override;

    // Where the journals are kept: Survokart/surveys in the user's data folder.
    static QString folder();

    // The journal of the survey last open when that was not ended; empty otherwise.
    QString interrupted() const;
    // "Survey yyyy-MM-dd HH:mm" of `startMs`.
    static QString defaultName(qint64 startMs);
    // Starts a new survey named `name`, or with a name of its time when that is empty. False, with
    // the reason, when no journal could be created.
    bool startNew(QString *error, const QString &name = QString());
    // Goes on with an interrupted survey: its readings come back through `readBack`; readings
    // added meanwhile are journalled once they are all back.
    void reopen(const QString &path);

    bool isOpen() const { return m_started; }
    QString name() const { return m_name; }
    QString path() const;
    int points() const { return m_points; }
    // An alarm's event and a spectrum; kept back, like readings, while a survey is read back.
    void add(const SurveyAlarm &alarm);
    void add(const SurveySpectrum &spectrum);

    void add(const SurveyReading &reading);
    // Adds a downloaded record whole; false, adding nothing, when this survey has it already.
    bool addRecord(const std::vector<SurveyReading> &readings);
    // Ends the survey, so that the next start begins a new one; false with the reason.
    bool end(QString *error);

signals:
    void changed();  // the name or the point count
    void readBack(const std::vector<SurveyReading> &readings);
    // Something the user should know: the journal failed (the survey went on in a new file), or
    // the interrupted one could not be read back whole.
    void problem(const QString &message);

private:
    void takeReadBack(const std::vector<SurveyReading> &readings);
    bool createJournal(qint64 startMs, QString *error);
    void attach(std::unique_ptr<SurveyJournal> journal);
    void onFailed(const QString &message);
    void readBackDone(const QString &error);
    // Remembers the records among `readings`; true when the first one's record was new.
    bool remember(const std::vector<SurveyReading> &readings);

    std::unique_ptr<SurveyJournal> m_journal;
    // Events that wait for a journal: they go into the next one attached.
    std::vector<SurveyAlarm> m_waitingAlarms;
    std::vector<SurveySpectrum> m_waitingSpectra;
    bool m_started = false;
    QString m_name;
    QString m_path;
    int m_points = 0;
    // The downloaded records this survey has, by serial and id: each is journalled and drawn once.
    QSet<QPair<QString, qint64>> m_records;
    // While the interrupted survey is read back, the journal stays closed.
    bool m_reading = false;
    std::vector<SurveyReading> m_waiting;
    SurveyLoader *m_loader;
};
