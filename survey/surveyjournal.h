// The journal of one survey: every reading handed over goes into a GeoPackage file (one per
// survey), with the alarms' events and the spectra, written on a thread of its own in batches, so
// that the caller never waits for the disk.
//
// At most one second of readings is at risk: a batch is committed, and synced to the disk, about
// kBatchInterval after its first reading was handed over (later only while the commit before it
// is still writing). A process killed or a power cut loses only what was not yet committed; the
// file itself stays whole.
//
// Files are only ever added to: a new journal is created exclusively, an existing one (a survey
// interrupted by a crash) is opened for appending. When the file cannot be written (damaged, in use
// by another program, read-only, disk full), failed() says so with the file's name and the reason;
// the journal then takes no more readings and the caller goes on into a new one.
#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <vector>

#include "surveyevents.h"
#include "surveyreading.h"

struct sqlite3;

// What a failed journal could not take.
struct SurveyBacklog {
    std::vector<SurveyReading> readings;
    std::vector<SurveyAlarm> alarms;
    std::vector<SurveySpectrum> spectra;
};

class SurveyJournal : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kBatchInterval{250};

    explicit SurveyJournal(QObject *parent = nullptr);
    // Writes what was handed over and closes the file, without ending the survey: the journal
    // then reads as interrupted.
    ~SurveyJournal() override;

    // Creates a new journal at `path` for the survey `name` started at `startMs` (ms since the
    // epoch, UTC). Refuses a name that exists, even as a link. False: errorString() says why.
    bool create(const QString &path, const QString &name, qint64 startMs);
    // Opens an existing journal to go on with its survey, which no longer reads as ended.
    bool reopen(const QString &path);

    // Hands readings over; from any thread, returns at once. Ignored once ended.
    void append(const SurveyReading &reading);
    void append(const std::vector<SurveyReading> &readings);
    // An alarm's event and a spectrum, likewise.
    void append(const SurveyAlarm &alarm);
    void append(const SurveySpectrum &spectrum);

    // Once failed: what was handed over and is not in the file, in order, for the journal that
    // takes over; what is handed over later is kept there too.
    SurveyBacklog takeUnwritten();

    // Blocks until everything handed over so far is in the file; false when it cannot be.
    bool flush();
    // Writes what is pending, records the end time and closes the file, which then stands alone
    // (no -wal beside it). The journal reads as ended cleanly.
    bool end(qint64 endMs);

    bool isOpen() const;
    QString path() const;
    // The last failure, naming the file and the reason.
    QString errorString() const;

signals:
    // Once, when writing fails; emitted on the writing thread, so connected slots are queued.
    void failed(const QString &message);

private:
    // Takes `db` over once its set-up ended with `rc`: writing starts, or the file is closed and
    // the failure kept.
    bool startWriting(sqlite3 *db, int rc);

    struct Writer;
    std::unique_ptr<Writer> m_writer;
    QString m_path;
    QString m_error;
};
