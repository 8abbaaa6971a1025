// The journal's file: its GeoPackage schema, how it is opened, and the words for what went wrong.
// Shared by the writer and the reader; not part of the library's interface.
#pragma once

#include <QCoreApplication>
#include <QString>

struct sqlite3;

namespace journal {

struct Text {
    Q_DECLARE_TR_FUNCTIONS(SurveyJournal)
};

// The feature table of the readings and the table of the survey's name and times.
constexpr const char *kReadings = "readings";
constexpr const char *kSurvey = "survey";

// Why `path` cannot be a journal to open: not there, a link, not a regular file. Empty when it can.
QString refuseToOpen(const QString &path);

enum class Mode { Read, Append, Create };

// Opens the journal at `path`: Read and Append an existing one, Create a new one exclusively (the
// name must not exist, not even as a link). Append and Create take a write lock once, so that a
// journal another program writes to is refused at once. Null with `error` set on failure.
sqlite3 *open(const QString &path, Mode mode, QString *error);

// "Survey journal PATH: REASON" for a failed SQLite call with result `code`.
QString failure(const QString &path, sqlite3 *db, int code);

// Runs `sql` (one or more statements); the SQLite result code.
int exec(sqlite3 *db, const char *sql);

}  // namespace journal
