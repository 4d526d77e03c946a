// Turning raw events into upload bundles.

#include "analytics/QRVAMeasurement.h"

// Placeholder until bundling lands: nothing is ever bundled.
bool QRVAMeasurement::bundleRawEvents() { return false; }
