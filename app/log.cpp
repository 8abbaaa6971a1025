#include "log.h"

Q_LOGGING_CATEGORY(lcApp, "survokart.app", QtInfoMsg)
