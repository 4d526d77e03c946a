#pragma once
// Screen tracking: which screen the app shows, as "_vs" events and as the
// screen parameters ("_sc", "_si", "_sn") other events carry.

#include <memory>
#include <optional>
#include <string>

#include "analytics/QRVAValue.h"

class QRVAScreenViewReporter {
public:
    static std::shared_ptr<QRVAScreenViewReporter> sharedInstance();

    // The app names the current screen itself (main thread).
    void setScreenName(const std::optional<std::string>& screenName, const std::optional<std::string>& screenClass);
    // The current screen's parameters; empty when none is known. Any thread.
    QRVAObjectParameters screenParameters();
};
