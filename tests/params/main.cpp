#include <gtest/gtest.h>
#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;  // created 0700, as Qt wants its runtime directory
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    QApplication app(argc, argv);
    // Without these names the settings store refuses to read or write.
    QApplication::setOrganizationName("Survokart");
    QApplication::setApplicationName("params_tests");
    // The dialogs' remembered state goes to a folder of this run, never the user's store.
    QTemporaryDir config;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
