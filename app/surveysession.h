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

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "survey/surveyreading.h"

class SurveyJournal;

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
    // Starts a new survey with a name of its time. False, with the reason, when no journal could
    // be created.
    bool startNew(QString *error);
    // Goes on with an interrupted survey: its readings come back through `readBack`; readings
    // added meanwhile are journalled once they are all back.
    void reopen(const QString &path);

    bool isOpen() const { return m_started; }
    QString name() const { return m_name; }
    QString path() const;
    int points() const { return m_points; }

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
    // Takes what the reader handed over; called by name from its thread.
    Q_INVOKABLE void takeReadBack();
    bool createJournal(qint64 startMs, QString *error);
    void attach(std::unique_ptr<SurveyJournal> journal);
    void onFailed(const QString &message);
    void readBackDone(const QString &error);
    void stopReading();
    // Remembers the records among `readings`; true when the first one's record was new.
    bool remember(const std::vector<SurveyReading> &readings);

    std::unique_ptr<SurveyJournal> m_journal;
    bool m_started = false;
    QString m_name;
    QString m_path;
    int m_points = 0;
    // The downloaded records this survey has, by serial and id: each is journalled and drawn once.
    QSet<QPair<QString, qint64>> m_records;
    // While the interrupted survey is read back, the journal stays closed.
    bool m_reading = false;
    std::vector<SurveyReading> m_waiting;
    std::atomic<bool> m_stop{false};
    std::mutex m_readMutex;  // guards what the reader hands over
    std::vector<std::vector<SurveyReading>> m_readBatches;
    bool m_readDone = false;
    QString m_readError;
    std::thread m_reader;
};
