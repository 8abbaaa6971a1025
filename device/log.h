// The log categories of the device layer and of the procedural library under it. Debug messages
// are off unless QT_LOGGING_RULES turns them on (e.g. "survokart.comm.debug=true"); warnings go to
// standard error.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcDevice)
Q_DECLARE_LOGGING_CATEGORY(lcComm)

// Sends the procedural library's channel lines to survokart.comm as debug messages and its error
// lines as warnings, and none to the console. Undone by unrouteLibraryLog(), after which the
// library's lines are formatted and dropped again.
void routeLibraryLog();
void unrouteLibraryLog();
