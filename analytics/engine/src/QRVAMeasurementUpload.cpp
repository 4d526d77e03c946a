// Upload scheduling, the upload itself and the configuration fetch.

#include "analytics/QRVAMeasurement.h"

// Placeholders until the upload lands.
void QRVAMeasurement::updateSchedule() {}
void QRVAMeasurement::uploadData() {}
void QRVAMeasurement::fetchRemoteConfig() {}
bool QRVAMeasurement::isNetworkReadyForRequest() { return false; }
