// The command line of survokart-cli, checked in full before any link is opened.
#pragma once

#include <QString>
#include <QStringList>

#include "device/surveyrecord.h"

struct CliArguments {
    QString command;  // identify, monitor, download, display, key or record
    QString target;   // host[:port] or a connection string
    QString value;    // the key of `key`, on or off of `record`
    int count = -1;   // monitor: readings before it ends; -1 until interrupted
    SurveyWindow window = SurveyWindow::All;
    int windowValue = 0;  // days or hours of the window
    bool geoJson = false;
    QString output;  // -o FILE; empty: standard output
};

enum class ParseOutcome { Run, Help, Usage };

// Parses `arguments` (without the program name). Usage: `problem` says what is wrong.
ParseOutcome parseArguments(const QStringList &arguments, CliArguments *parsed, QString *problem);

QString usageText();
