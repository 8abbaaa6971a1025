// Writes survey readings as CSV, GeoJSON, KML or GPX through OGR's drivers; the one exporter of
// the program, for the journal's surveys and the command-line tool's downloads alike.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QString>

#include <optional>
#include <vector>

#include "surveyevents.h"
#include "surveyreading.h"

enum class SurveyFormat { Csv, GeoJson, Kml, Gpx };

// "csv", "geojson", "kml" or "gpx".
std::optional<SurveyFormat> surveyFormatOf(const QString &name);

struct SurveyExportOptions {
    SurveyFormat format = SurveyFormat::Csv;
    // The survey's name: the KML document's and the start of each GPX track's.
    QString name;
    // Every format has time, count_rate, dose_rate and unit (CSV has latitude, longitude and
    // altitude before the rates); these add instrument, serial, fix and downloaded after them.
    bool instrumentColumns = true;
    // Leaves out readings without a usable position. Otherwise CSV and GeoJSON keep them (without
    // coordinates); KML and GPX have no place for them and always leave them out.
    bool positionedOnly = false;
    // KML: each point coloured by its dose rate (its count rate with colourByCountRate) as the map
    // colours the track, from these thresholds and colours.
    QList<double> thresholds;
    QList<QColor> colours;
    bool colourByCountRate = false;
    // Adds, after every other column, "dose": the instrument's cumulative dose over its live
    // readings up to this one, in the raw unit times hours (nSv for nSv/h; gaps in the readings
    // left out; empty for downloaded readings), and "alarm": which of the instrument's alarms
    // were on ("dose_rate", "count_rate", both joined by "+", or empty), from `alarms`.
    bool watchColumns = false;
    std::vector<SurveyAlarm> alarms;
};

// Writes the readings, in their order (GPX: one track per instrument), to `path`: through a
// temporary file in the same folder, renamed to `path` once complete, so `path` never holds half
// a file. False with `error` set.
bool exportSurvey(const std::vector<SurveyReading> &readings, const SurveyExportOptions &options,
                  const QString &path, QString *error);
// The same into memory, for standard output.
bool exportSurvey(const std::vector<SurveyReading> &readings, const SurveyExportOptions &options,
                  QByteArray *bytes, QString *error);

// Reads what an export of the survey journal at `journal` holds: its readings, and into
// `options` the survey's name, the watch columns and its alarms. False with `error` set.
bool readJournal(const QString &journal, SurveyExportOptions &options,
                 std::vector<SurveyReading> *readings, QString *error);

// What kept a journal's export from being written.
enum class JournalExportError { None, IsTheJournal, Journal, Output };

// Writes the survey journal at `journal` to `path` as exportSurvey does, with what readJournal
// reads. Refuses `path` when it is the journal itself (its name or a hard link).
JournalExportError exportJournal(const QString &journal, SurveyExportOptions options,
                                 const QString &path, QString *error);
