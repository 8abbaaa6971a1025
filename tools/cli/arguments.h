// The command line of survokart-cli, checked in full before any link is opened.
#pragma once

#include <QString>
#include <QStringList>

#include "device/surveyrecord.h"
#include "surveyexport.h"

struct CliArguments {
    QString command;  // identify, monitor, download, display, key, record or export
    QString target;   // host[:port] or a connection string; export: the survey journal
    QString value;    // the key of `key`, on or off of `record`
    int count = -1;   // monitor: readings before it ends; -1 until interrupted
    SurveyWindow window = SurveyWindow::All;
    int windowValue = 0;  // days or hours of the window
    SurveyFormat format = SurveyFormat::Csv;
    // export to KML: the colours of the points by dose rate, as the map's track has them
    QList<double> thresholds;
    QList<QColor> colours;
    QString output;  // -o FILE; empty: standard output
};

enum class ParseOutcome { Run, Help, Version, Usage };

// Parses `arguments` (without the program name). Usage: `problem` says what is wrong.
ParseOutcome parseArguments(const QStringList &arguments, CliArguments *parsed, QString *problem);

QString usageText();
