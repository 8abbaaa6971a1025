// The application's benchmarks run real windows and dialogs: an application object on the offscreen
// platform, and settings in a folder of this run, never the user's store.
#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "device/devicelibrary.h"

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    QApplication app(argc, argv);
    // The dialogs save their choices: into a folder of this run, never the user's store.
    QTemporaryDir config;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
    // The window journals its surveys: into a folder of this run, too.
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    DeviceLibrary library;  // as in the program: the panels' seekers only use it
    if (QString error = library.start(); !error.isEmpty()) qFatal("%s", qPrintable(error));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
