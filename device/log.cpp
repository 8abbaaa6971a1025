#include "log.h"

#include <cstring>

#include "comm/log.h"

Q_LOGGING_CATEGORY(lcDevice, "survokart.device", QtInfoMsg)
Q_LOGGING_CATEGORY(lcComm, "survokart.comm", QtInfoMsg)

namespace {

// Runs on whichever thread logs, under the library log's own lock. Taking every line keeps the
// library from writing it to the console as well.
int toCategory(const char *channel, int, const char *text) {
    const bool error = channel && std::strcmp(channel, "ERROR") == 0;
    if (error ? !lcComm().isWarningEnabled() : !lcComm().isDebugEnabled()) return 1;
    QByteArray line(text);
    while (line.endsWith('\n'))  // Qt ends each message itself
        line.chop(1);
    if (error)
        qCWarning(lcComm, "%s", line.constData());
    else
        qCDebug(lcComm, "%s: %s", channel ? channel : "", line.constData());
    return 1;
}

}  // namespace

void routeLibraryLog() {
    // Channels are registered once per process (the table does not shrink); later starts only
    // turn them on again.
    for (const char *channel : LOG_LIBRARY_CHANNELS)
        if (log_setlevel(channel, 1) != 0) log_addlevel(channel, 0, 1, 0, 0, nullptr);
    log_seterror(0, 1, 0, 0, nullptr);
    log_redirect(toCategory);
}

void unrouteLibraryLog() {
    // Off before the hook goes, so that no line falls through to the console meanwhile.
    for (const char *channel : LOG_LIBRARY_CHANNELS)
        log_setlevel(channel, 0);
    log_seterror(0, 0, 0, 0, nullptr);
    log_redirect(nullptr);
}
