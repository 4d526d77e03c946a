// The remote configuration fetch: one conditional request for the app's
// configuration (the last good answer's Last-Modified goes back as
// If-Modified-Since), its audiences and settings put in force together, and
// the hand-over to the upload road whatever the answer.

#include "analytics/QRVAConfigFetch.h"

#include "analytics/QRVAAudience.h"
#include "analytics/QRVAConstants.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUploader.h"
#include "platform/clock.h"

namespace {

namespace MC = QRVAPBField::MeasurementConfig;

constexpr const char* kQRVAMeasurementPlatform = "ios";


ns::Value statusContext(long status) { return ns::Value(int64_t(status)); }

ns::Value dataContext(const ns::Data& data) { return ns::Value(data); }

}  // namespace

void QRVAConfigFetch::fetchRemoteConfig() {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (!remoteConfig() || !identity() || !network()) return;
    auto url = remoteConfig()->remoteConfigURLWithAppInstanceID(identity()->appInstanceID(), kQRVAMeasurementPlatform,
                                                               QRVAIdentity::quorvaneAnalyticsLibraryVersion());
    if (!url) return QRVALog(1, 23125, "Unable to get configuration. Invalid server URL.");
    QRVALog(7, 23126, "Fetching configuration from the server");
    ns::HTTPHeaderFields headers;
    if (auto lastModified = persistedConfig()->configServerLastModifiedString(); lastModified && !lastModified->empty()) {
        headers["If-Modified-Since"] = *lastModified;
    }
    engine_.uploader().setNetworkRequestPending(true);
    network()->setTimeoutInterval(remoteConfig()->networkTimeout());
    std::weak_ptr<QRVAMeasurement> weak = weakEngine();
    network()->getURL(url->absoluteString(), headers, scheduler()->workerQueue(),
                     remoteConfig()->isNetworkBackgroundSessionEnabled(),
                     [weak](ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef error) {
                         auto engine = weak.lock();
                         if (!engine) return;
                         engine->uploader().setNetworkRequestPending(false);
                         engine->configFetch().networkRemoteConfigFetchCompletionHandler(response, data, error);
                     });
}

void QRVAConfigFetch::networkRemoteConfigFetchCompletionHandler(const ns::HTTPURLResponsePtr& response,
                                                                const ns::Data& data, const ns::ErrorRef& error) {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    const long status = response ? response->statusCode() : 0;
    monitor()->logWithLevel(7, 23127, "Fetched configuration. Status code", statusContext(status));
    if (status != 200 && status != 204 && status != 304 && status != 404) {
        monitor()->logWithLevel(7, 23128,
                                "Unable to get the configuration from server. Network request failed. Code, Error",
                                statusContext(status), QRVAErrorContext(error));
        engine_.uploader().recordFailedRequest(status);
        monitor()->logWithLevel(7, 23129, "Network fetch failed. Will retry later. Code, error", statusContext(status),
                                QRVAErrorContext(error));
        return engine_.uploader().updateSchedule();
    }
    // The next request is conditional on what this answer says, so one
    // without the header makes it unconditional. Only a 304 without it keeps
    // the stored value: it confirms the configuration that value names.
    auto lastModified = response->valueForHTTPHeaderField("Last-Modified");
    if (status != 304 || (lastModified && !lastModified->empty())) {
        persistedConfig()->setConfigServerLastModifiedString(lastModified);
    }
    persistedConfig()->setLastFailedUploadTimestamp(0);
    persistedConfig()->setLastBackoffTimestamp(0);
    if (status == 304 || status == 404) {
        if (status == 304) {
            monitor()->logWithLevel(7, 23131, "Configuration has not been modified. Using the same configuration. Code",
                                    statusContext(status));
        } else {
            QRVALog(3, 23130, "Configuration not found. Using default configuration");
        }
        recordConfigFetchTime(23132);
    } else {
        monitor()->logWithLevel(7, 23133, "Successful fetched configuration from the server. Got network response. Code, size",
                                statusContext(status), ns::Value(response->expectedContentLength()));
        recordConfigFetchTime(23134);
        if (!data.empty()) applyFetchedConfig(data);
    }
    engine_.uploader().uploadDataOrRegisterAlarm();
}

// The time of the last good fetch, on which expiry rests. When it cannot be
// stored, uploads pause for an hour rather than fetching again at once.
bool QRVAConfigFetch::recordConfigFetchTime(int64_t failureCode) {
    return database()->performTransaction([&] {
        ns::ErrorRef error;
        if (!database()->updateRemoteConfigSuccessfulTimestamp(ns::Clock::nowSeconds(), &error) && error) {
            monitor()->logWithLevel(1, failureCode,
                                    "Unable to update the configuration last set timestamp in database. Error",
                                    QRVAErrorContext(error));
            engine_.uploader().suspendUploads();
            return false;
        }
        engine_.uploader().resumeUploads();
        return true;
    });
}

// Audiences and settings change together or not at all; a refused
// configuration leaves the previous one in force.
bool QRVAConfigFetch::applyFetchedConfig(const ns::Data& data) {
    return database()->performTransaction([&] {
        auto config = QRVAPBMeasurementConfig::initWithBuffer(data);
        if (!config || !config->protoBuffer()) {
            QRVALog(1, 23135, "Configuration data is invalid.");
            return false;
        }
        const auto appID = NANOGetString(config, MC::app_id);
        if (!appID || appID->empty() || appID != identity()->appIDFromVLP()) {
            QRVALog(1, 23136, "Configuration does not have valid VLP App ID.");
            return false;
        }
        std::vector<std::shared_ptr<QRVAPBAudience>> audiences;
        for (const auto& item : NANOGetArray(config, MC::audiences, &QRVAPBAudience::messageClass()).value_or(ns::Array{})) {
            if (auto audience = item.asObjectOf<QRVAPBAudience>()) audiences.push_back(std::move(audience));
        }
        if (!audience()->updateAudiences(audiences)) {
            monitor()->logWithLevel(1, 23137, "Failed to update audiences with new server configuration",
                                    dataContext(data));
            return false;
        }
        NANOClearField(config, MC::audiences);
        if (!remoteConfig()->updateMeasurementConfig(config)) {
            monitor()->logWithLevel(1, 23138, "Failed to update configuration with new server configuration",
                                    dataContext(data));
            return false;
        }
        return true;
    });
}
