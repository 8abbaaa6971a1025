#include <unistd.h>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>

#include "commands.h"

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    // Ctrl-C ends a monitor cleanly: the link is closed before the program exits.
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });
    // Standard output carries the data (CSV, GeoJSON, readings); what the library itself prints
    // about the link goes to standard error with the other diagnostics.
    int data_fd = ::dup(STDOUT_FILENO);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    QFile data;
    data.open(data_fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    QTextStream out(&data), err(stderr);
    int r = runCli(app.arguments().mid(1), out, err);
    out.flush();
    err.flush();
    return r;
}
