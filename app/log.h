// The application layer's log category. Debug messages are off unless QT_LOGGING_RULES turns
// them on; warnings go to standard error.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcApp)
