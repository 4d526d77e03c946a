#pragma once
// What the analytics monitor printed, for tests of the analytics folders: the
// console lines so far, or the lines of what a piece of work logged, as
// "<code> <message>".

#include <functional>
#include <string>
#include <vector>

#include "analytics/QRVAMonitor.h"
#include "core/QRVLogger.h"
#include "platform/system_log.h"

namespace analyticstest {

// The monitor and the core logger hand lines on asynchronously: this lets
// out every line logged so far.
inline void flushToConsole() {
    QRVAMeasurementMonitor()->flushForTesting();
    QRVLoggerFlush();
}

// Every line the capture holds once what was logged so far has reached it.
inline std::vector<std::string> consoleLines(const ns::SystemLog::Capture& capture) {
    flushToConsole();
    return capture.lines();
}

inline std::vector<std::string> logged(const std::function<void()>& work) {
    // Lines logged before `work` may still be on their way: let them out
    // before listening.
    flushToConsole();
    auto capture = ns::SystemLog::capture();
    work();
    std::vector<std::string> lines;
    for (const auto& line : consoleLines(capture)) {
        auto at = line.find("[I-ACS");
        if (at != std::string::npos) {
            lines.push_back(std::to_string(std::stoi(line.substr(at + 6, 6))) + " " + line.substr(at + 14));
        }
    }
    return lines;
}

}  // namespace analyticstest
