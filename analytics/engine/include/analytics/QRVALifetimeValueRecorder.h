#pragma once
// Lifetime value: every stored purchase event ("_iap", "ecommerce_purchase")
// adds its value to the user property "_ltv_" + currency code, in millionths
// of the currency unit, for at most the remote setting's number of
// currencies (the least recently set one makes room). Runs on the worker
// queue inside the event write path's transaction.

class QRVADatabase;
class QRVAEvent;

class QRVALifetimeValueRecorder {
public:
    static bool isPurchaseEvent(const QRVAEvent& event);
    // false only when the store failed: the write path then rolls back and
    // drops the event. Malformed or out-of-range values are logged, skipped
    // and answer true, so the event is still stored.
    static bool recordLifetimeValueToDatabase(QRVADatabase& database, const QRVAEvent& event);
};
