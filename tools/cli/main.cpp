#include <unistd.h>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>

#include "comm/log.h"
#include "commands.h"
#include "interrupt.h"
#include "session.h"

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    // Ctrl-C ends a monitor or a download cleanly: the link is closed before the program exits.
    Interrupt interrupt;
    // A closed standard output is a write error to report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    // Standard output carries the data (CSV, GeoJSON, readings); what the library itself prints
    // about the link goes to standard error with the other diagnostics.
    int data_fd = ::dup(STDOUT_FILENO);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    // The library's own error lines say why a link failed (no permission, device gone, bad
    // address); they go to standard error ahead of the summary line.
    log_seterror(0, 1, 0, 0, nullptr);
    QFile data;
    data.open(data_fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    QTextStream out(&data), err(stderr);
    int r = runCli(app.arguments().mid(1), out, err, interrupt.installed() ? &interrupt : nullptr);
    out.flush();
    if (r == EXIT_OK && out.status() != QTextStream::Ok) {
        err << "survokart-cli: "
            << Cli::tr("cannot write to standard output: %1").arg(data.errorString()) << "\n";
        r = EXIT_FILE;
    }
    err.flush();
    return r;
}
