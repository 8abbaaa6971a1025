#include <gtest/gtest.h>
#include <QApplication>
#include <QStandardPaths>
#include <QTemporaryDir>

// GDAL, not built with ThreadSanitizer, nests two of its global mutexes in both orders within one
// thread while it creates datasets: a report about its internals, not our use of it.
extern "C" const char *__tsan_default_suppressions() {
    return "deadlock:libgdal.so\n";
}

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;  // created 0700, as Qt wants its runtime directory
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    // Settings written by the view and overviews cached for large rasters go to a test location
    // inside a home of this run, never the user's.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
