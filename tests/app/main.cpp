#include <gtest/gtest.h>
#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include "device/devicelibrary.h"

// Qt is not built with ThreadSanitizer: its event queues and the raster engine's painting pool
// hand data over in code the sanitizer cannot see. Races in our own code are still reported.
extern "C" const char *__tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n";
}

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;  // created 0700, as Qt wants its runtime directory
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    // Whether the Bluetooth tab is enabled must not depend on this machine's radio: no bus here.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/survokart-test-bus");
    QApplication app(argc, argv);
    // What the dialogs save goes to a folder of this run, never the user's store.
    QTemporaryDir config;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
    // Survey journals, too.
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    // As in the program: the library runs for the whole run, the windows' seekers only use it.
    DeviceLibrary library;
    if (QString error = library.start(); !error.isEmpty()) qFatal("%s", qPrintable(error));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
