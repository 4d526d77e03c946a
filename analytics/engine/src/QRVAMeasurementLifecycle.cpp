// The application's life cycle as the engine sees it.

#include "analytics/QRVAMeasurement.h"

// Placeholder until the life-cycle handling lands.
void QRVAMeasurement::terminateBackgroundTask() {}
