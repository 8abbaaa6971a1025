#include "log.h"

Q_LOGGING_CATEGORY(lcDevice, "survokart.device", QtInfoMsg)
