#include "analytics/QRVAScreenViewReporter.h"

// Placeholder until screen tracking lands: no screen is ever known.
std::shared_ptr<QRVAScreenViewReporter> QRVAScreenViewReporter::sharedInstance() {
    static auto instance = std::make_shared<QRVAScreenViewReporter>();
    return instance;
}

void QRVAScreenViewReporter::setScreenName(const std::optional<std::string>&, const std::optional<std::string>&) {}

QRVAObjectParameters QRVAScreenViewReporter::screenParameters() { return {}; }
