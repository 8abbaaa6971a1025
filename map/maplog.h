// The map layer's log category: map loading failures, as the user was shown them, and parts of a
// map that could not be read.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcMap)
