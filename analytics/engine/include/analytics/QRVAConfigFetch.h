// The measurement engine's configuration fetch: one conditional request for
// the app's configuration (the last good answer's Last-Modified goes back as
// If-Modified-Since), its audiences and settings put in force together, and
// the hand-over to the uploader whatever the answer. It shares the uploader's
// request-in-flight flag, retry schedule and suspension stamp, and keeps no
// state of its own beyond what the store and the persisted state record.
// Worker queue only.
#pragma once

#include <cstdint>

#include "analytics/QRVAMeasurementPart.h"

class QRVAConfigFetch : QRVAMeasurementPart {
public:
    explicit QRVAConfigFetch(QRVAMeasurement& engine) : QRVAMeasurementPart(engine) {}

    // Starts one conditional request for the remote configuration.
    void fetchRemoteConfig();
    void networkRemoteConfigFetchCompletionHandler(const ns::HTTPURLResponsePtr& response, const ns::Data& data,
                                                  const ns::ErrorRef& error);

private:
    bool recordConfigFetchTime(int64_t failureCode);
    bool applyFetchedConfig(const ns::Data& data);
};
