#include "devicelibrary.h"

#include "log.h"
#include "mxx/mxx.h"
#include "mxxseeker.h"

DeviceLibrary::~DeviceLibrary() {
    stop();
}

QString DeviceLibrary::start() {
    if (m_started) return {};
    // A second owner would stop the library under the first one.
    if (isRunning()) return tr("The device library is already running.");
    routeLibraryLog();
    if (MXX_init(nullptr, &MXXSeeker::usbListChanged, nullptr) != 0) {
        unrouteLibraryLog();
        return tr("MXX initialization failed!");
    }
    m_started = true;
    return {};
}

void DeviceLibrary::stop() {
    if (!m_started) return;
    m_started = false;
    MXX_shut();
    unrouteLibraryLog();
}

bool DeviceLibrary::isRunning() {
    // Connection id 0 is never valid: the answer only says whether the library runs.
    return MXX_get_conn_state_id(0) != MXX_CONN_NOT_STARTED;
}
