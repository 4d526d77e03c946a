// Placeholder until lifetime values land: purchases are recognised, nothing
// is recorded.

#include "analytics/QRVALifetimeValueRecorder.h"

#include "analytics/QRVAEvent.h"

bool QRVALifetimeValueRecorder::isPurchaseEvent(const QRVAEvent& event) {
    return event.name() == "_iap" || event.name() == "ecommerce_purchase";
}

bool QRVALifetimeValueRecorder::recordLifetimeValueToDatabase(QRVADatabase&, const QRVAEvent&) { return true; }
