// The device library's run: started once by the program's owner of it (main, before any window)
// and stopped when this object goes (after the windows). Devices and seekers only use the running
// library; they neither start nor stop it.
#pragma once

#include <QCoreApplication>
#include <QString>

class DeviceLibrary {
    Q_DECLARE_TR_FUNCTIONS(DeviceLibrary)

public:
    DeviceLibrary() = default;
    ~DeviceLibrary();
    DeviceLibrary(const DeviceLibrary &) = delete;
    DeviceLibrary &operator=(const DeviceLibrary &) = delete;

    // Starts the library and routes its log to the Qt categories. Empty on success; otherwise
    // what went wrong, and the library is not running. Refused while the library already runs.
    QString start();
    void stop();

    // Whether the library is running, whoever started it.
    static bool isRunning();

private:
    bool m_started = false;
};
