// The commands of survokart-cli. Each returns an ExitCode and writes its results to `out`,
// its progress and errors to `err`.
#pragma once

#include <QStringList>
#include <QTextStream>

int runCli(const QStringList &arguments, QTextStream &out, QTextStream &err);

// One line of live readings, formatted as the windows show them.
QString monitorLine(const struct M30_status *status, const struct M30_total_data *total);
