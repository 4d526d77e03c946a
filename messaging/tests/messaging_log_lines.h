#pragma once
// Captures what the SDK's logger writes from construction on, debug lines
// included, for tests that look for a message code or text.

#include <memory>
#include <string_view>

#include "core/QRVLogger.h"
#include "platform/system_log.h"

class MessagingLogLines {
public:
    MessagingLogLines() {
        ns::SystemLog::setFilterLevel(ns::SystemLog::kDebug);
        QRVSetLoggerLevel(QRVLoggerLevelDebug);
        QRVLoggerFlush();
        capture_ = std::make_unique<ns::SystemLog::Capture>(ns::SystemLog::capture());
    }
    // Whether a line written so far contains `text`.
    bool contains(std::string_view text) {
        QRVLoggerFlush();
        return capture_->contains(text);
    }

private:
    std::unique_ptr<ns::SystemLog::Capture> capture_;
};
