#include <gtest/gtest.h>
#include <QApplication>
#include <QStandardPaths>
#include <QTemporaryDir>

// Qt and GDAL are not built with ThreadSanitizer. Qt converts large images on its own thread pool
// (also when a map tile is converted on a reader thread), handing memory over through locks the
// sanitizer cannot see; GDAL nests two of its global mutexes in both orders within one thread
// while it creates datasets. Races in our own code are still reported.
extern "C" const char *__tsan_default_suppressions() {
    return "called_from_lib:libQt6Gui.so.6\n"
           "deadlock:libgdal.so\n";
}

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;  // created 0700, as Qt wants its runtime directory
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    // Settings written by the view go to a test location, never the user's store.
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
