#pragma once
// What the analytics monitor printed, for tests of the analytics folders: the
// lines of what a piece of work logged, as "<code> <message>".

#include <functional>
#include <string>
#include <vector>

#include "analytics/QRVAMonitor.h"
#include "core/QRVLogger.h"
#include "platform/system_log.h"

namespace analyticstest {

inline std::vector<std::string> logged(const std::function<void()>& work) {
    // Lines logged before `work` may still be on their way to the console
    // (the monitor and the core logger hand them on asynchronously): let them
    // out before listening.
    QRVAMeasurementMonitor()->flushForTesting();
    QRVLoggerFlush();
    auto capture = ns::SystemLog::capture();
    work();
    QRVAMeasurementMonitor()->flushForTesting();
    QRVLoggerFlush();
    std::vector<std::string> lines;
    for (const auto& line : capture.lines()) {
        auto at = line.find("[I-ACS");
        if (at != std::string::npos) {
            lines.push_back(std::to_string(std::stoi(line.substr(at + 6, 6))) + " " + line.substr(at + 14));
        }
    }
    return lines;
}

}  // namespace analyticstest
