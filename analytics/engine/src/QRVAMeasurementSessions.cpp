// The engine's side of session reporting.

#include "analytics/QRVAMeasurement.h"

// Placeholders until session reporting lands.
void QRVAMeasurement::setMinimumSessionInterval(double) {}
void QRVAMeasurement::setSessionTimeoutInterval(double) {}
