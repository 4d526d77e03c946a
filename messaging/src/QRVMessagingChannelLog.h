#pragma once
// The channel writes several debug lines per message; checking the level
// before the message code and the arguments are formatted keeps a quiet
// logger from costing anything on that path.

#include "core/QRVLogger.h"
#include "messaging/QRVMessagingLogger.h"

#define QRVMessagingChannelDebug(code, ...)                                                                            \
    do {                                                                                                               \
        if (QRVIsLoggableLevel(QRVLoggerLevelDebug, false)) QRVMessagingLoggerDebug(code, __VA_ARGS__);                \
    } while (0)
