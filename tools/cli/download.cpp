#include "download.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "device/surveywalk.h"
#include "export.h"
#include "partialfile.h"
#include "session.h"

namespace {

// The ids of the stored records, oldest first; an exit code when the list did not arrive whole.
int readRecordList(Session &s, std::vector<int32_t> *ids) {
    SurveyList list = readSurveyList(s.m30());
    if (list.error == SurveyReadError::Transfer)
        return s.commandFailed(Cli::tr("the transfer of the list of survey records"));
    if (list.error == SurveyReadError::Malformed)
        return s.fail(EXIT_FAILED, Cli::tr("the instrument announced %1 survey records but sent "
                                           "a list of %2 bytes")
                                       .arg(list.announced)
                                       .arg(list.length));
    *ids = std::move(list.ids);
    return EXIT_OK;
}

// One stored record; an exit code when it did not arrive whole.
int readRecord(Session &s, int32_t id, const QString &which, SurveyRecord *record) {
    SurveyRecordRead read = readSurveyRecord(s.m30(), id);
    if (read.error == SurveyReadError::Transfer)
        return s.commandFailed(Cli::tr("the transfer of %1").arg(which));
    if (read.error == SurveyReadError::Malformed)
        return s.fail(
            EXIT_FAILED,
            Cli::tr("the instrument sent %1 with only %2 bytes").arg(which).arg(read.length));
    *record = std::move(read.record);
    return EXIT_OK;
}

// After a download was cut short: keeps what arrived where the user can find it.
void keepWhatArrived(CommandContext &c, const QByteArray &bytes, int records) {
    if (!c.file) {
        c.session.note(
            Cli::tr("nothing was written; with -o FILE the records that "
                    "arrived are kept in FILE.partial"));
        return;
    }
    if (records == 0) return;  // the empty partial file goes away
    if (c.file->write(bytes) && c.file->keep())
        c.session.note(Cli::tr("the %n record(s) that arrived are in %1", "", records)
                           .arg(c.file->partialPath()));
    else
        c.session.note(
            Cli::tr("cannot write %1: %2").arg(c.file->partialPath(), c.file->errorString()));
}

// Reads the records newest first, up to the first one outside the window, into `records`;
// EXIT_OK, or why it stopped before.
int readWindow(Session &s, const CliArguments &a, const std::vector<int32_t> &ids,
               std::vector<ExportedRecord> *records) {
    SurveyWalk walk;
    walk.begin(ids, a.window, a.windowValue, QDateTime::currentDateTime());
    const int total = static_cast<int>(walk.total());
    s.progress(Cli::tr("downloading records: %1/%2").arg(0).arg(total));
    while (std::optional<int32_t> id = walk.next()) {
        const int i = static_cast<int>(walk.taken());
        if (s.interrupted())
            return s.fail(EXIT_INTERRUPTED,
                          Cli::tr("interrupted after %1 of %2 records").arg(i).arg(total));
        SurveyRecord r;
        QString which = Cli::tr("record %1 of %2").arg(i + 1).arg(total);
        if (int code = readRecord(s, *id, which, &r)) return code;
        if (!walk.take(r)) break;
        records->push_back({r.time, r.doseUnit, std::move(r.points)});
        s.progress(Cli::tr("downloading records: %1/%2").arg(i + 1).arg(total));
    }
    return EXIT_OK;
}

}  // namespace

int download(CommandContext &c) {
    Session &s = c.session;
    std::vector<int32_t> ids;
    if (int r = readRecordList(s, &ids); r != EXIT_OK) return r;
    std::vector<ExportedRecord> records;
    const int code = readWindow(s, c.arguments, ids, &records);
    s.endProgress();
    std::reverse(records.begin(), records.end());  // oldest first in the file
    if (int unusable = unexportablePoints(records))
        s.note(
            Cli::tr("warning: %n point(s) with a GPS fix but without usable coordinates were "
                    "left out",
                    "", unusable));
    QByteArray bytes;
    QString error;
    if (!exportRecords(records, c.arguments.format, &bytes, &error))
        return s.fail(EXIT_FILE, error);
    if (code != EXIT_OK) {
        keepWhatArrived(c, bytes, static_cast<int>(records.size()));
        return code;
    }
    return writeOutput(c, bytes);
}
