#pragma once
// Database log lines, for the connection and the layers above it: debug
// lines are built only while database logging is enabled; warnings always
// pass the database's own switch.

#include "core/QRVLogger.h"
#include "database/model/FUtilities.h"

#define FFLog(code, ...)                                                        \
    do {                                                                        \
        if (FFIsLoggingEnabled(FLogLevelDebug)) {                               \
            QRVLogDebug(kQRVLoggerDatabase, code, __VA_ARGS__);                 \
        }                                                                       \
    } while (0)

#define FFWarn(code, ...)                                                       \
    do {                                                                        \
        if (FFIsLoggingEnabled(FLogLevelWarn)) {                                \
            QRVLogWarning(kQRVLoggerDatabase, code, __VA_ARGS__);               \
        }                                                                       \
    } while (0)
