#include <gtest/gtest.h>
#include <QApplication>
#include <QStandardPaths>
#include <QTemporaryDir>

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
