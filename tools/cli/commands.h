// The commands of survokart-cli. Each returns an ExitCode and writes its results to `out`,
// its progress and errors to `err`.
#pragma once

#include <QStringList>
#include <QTextStream>

class Interrupt;
class PartialFile;
class Session;
struct CliArguments;

// `interrupt` may be null (in-process callers that never stop a command).
int runCli(const QStringList &arguments, QTextStream &out, QTextStream &err,
           const Interrupt *interrupt = nullptr);

// What a command works with once the instrument is open.
struct CommandContext {
    Session &session;
    const CliArguments &arguments;
    QTextStream &out;
    QTextStream &err;
    PartialFile *file;  // the output file given with -o, already created; null: standard output
};

// Writes a command's result to its file (complete, under its final name) or to standard output.
int writeOutput(CommandContext &c, const QByteArray &bytes);

// One line of live readings, formatted as the windows show them.
QString monitorLine(const struct M30_status *status, const struct M30_total_data *total);
