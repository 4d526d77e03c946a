// Events the engine reports by itself, and campaign links.

#include "analytics/QRVAMeasurement.h"

// Placeholders until the automatic events land.
void QRVAMeasurement::handleOpenURL(const ns::URL&) {}
std::optional<ns::URL> QRVAMeasurement::deepLinkFromUserActivity(const ns::ObjectPtr&) { return std::nullopt; }
