// Reads a survey journal: its name and times, and its readings in the order they were journalled,
// for redrawing a track or exporting. Opens any journal, also one copied from another machine or
// folder (with its -wal file, if the survey was not ended, or the last readings are not in it).
#pragma once

#include <QString>

#include <functional>
#include <vector>

#include "surveyevents.h"
#include "surveyreading.h"

struct SurveyInfo {
    QString name;
    qint64 startMs = 0;
    qint64 endMs = -1;  // -1 while the survey has not ended
    // Whether the survey was ended; one that was not was interrupted (a crash, a power cut) and
    // may be reopened to go on.
    bool endedCleanly() const { return endMs >= 0; }
};

class SurveyJournalReader {
public:
    // Opens the journal read-only; false with errorString() naming the file and the reason.
    bool open(const QString &path);

    const SurveyInfo &info() const { return m_info; }
    // Calls `visit` for each reading in journal order until it returns false; false when the file
    // cannot be read (errorString() says why), not when the visit stopped it.
    bool forEach(const std::function<bool(const SurveyReading &)> &visit);
    // Every reading, in journal order; empty with errorString() set on failure.
    std::vector<SurveyReading> readings();
    // The alarms' events in journal order (none in a journal older than them); empty with
    // errorString() set on failure.
    std::vector<SurveyAlarm> alarms();

    QString errorString() const { return m_error; }

private:
    QString m_path;
    SurveyInfo m_info;
    QString m_error;
};
