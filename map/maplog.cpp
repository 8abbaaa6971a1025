#include "maplog.h"

Q_LOGGING_CATEGORY(lcMap, "survokart.map", QtInfoMsg)
