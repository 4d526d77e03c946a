// Upload scheduling and the upload itself: when the next batch is due (the
// upload interval, hurried for real-time data and in debug mode, retried
// with doubling delays after failures, held back after a server back-off),
// the batch of queued bundles posted to the measurement host, and what the
// answer does to the queue and the schedule.

#include "analytics/QRVAUploader.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analytics/QRVAAlarm.h"
#include "analytics/QRVAConstants.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurementLifecycle.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "platform/clock.h"
#include "platform/process_info.h"

namespace {

namespace F = QRVAPBField;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// How long uploads pause when accepted bundles could not be deleted, so the
// same bundles are not sent again at once.
constexpr double kQRVAMeasurementSuspensionTimeInterval = 3600.0;

const std::string& uploadURL() {
    static const auto* kURL = new std::string(std::string("https://") + kQRVAMeasurementHost + "/a");
    return *kURL;
}



void stamp(const std::shared_ptr<QRVAPBMeasurementBundle>& bundle, int64_t version, int64_t uploadMillis) {
    NANOSetInt64(bundle, F::MeasurementBundle::uploading_library_version, version);
    NANOSetInt64(bundle, F::MeasurementBundle::upload_timestamp_millis, uploadMillis);
}

// The batch of the stamped bundles as records (copies).
std::shared_ptr<QRVAPBMeasurementBatch> recordBatch(const std::vector<QRVAQueuedBundle>& bundles, int64_t version,
                                                    int64_t uploadMillis) {
    ns::Array stamped;
    for (const auto& queued : bundles) {
        auto record = queued.record();
        if (record) stamp(record, version, uploadMillis);
        stamped.emplace_back(ns::ObjectPtr(record));
    }
    auto batch = QRVAPBMeasurementBatch::message();
    NANOSetArray(batch, F::MeasurementBatch::bundles, stamped);
    return batch;
}

// The batch as the log line shows it, made only when the line is printed.
class BatchLogContext final : public ns::Object {
public:
    BatchLogContext(std::vector<QRVAQueuedBundle> bundles, int64_t version, int64_t uploadMillis)
        : bundles_(std::move(bundles)), version_(version), uploadMillis_(uploadMillis) {}
    std::string description() const override {
        return recordBatch(bundles_, version_, uploadMillis_)->description();
    }
    std::string className() const override { return QRVAPBMeasurementBatch::message()->className(); }

private:
    std::vector<QRVAQueuedBundle> bundles_;
    int64_t version_, uploadMillis_;
};

}  // namespace

QRVAUploader::QRVAUploader(QRVAMeasurement& engine, std::shared_ptr<QRVAAlarm> alarm)
    : QRVAMeasurementPart(engine), alarm_(std::move(alarm)) {}

double QRVAUploader::uptimeSeconds() {
    const double boot = ns::ProcessInfo::processInfo().kernelBootTime();
    if (!(boot > 0)) return -1;
    return ns::Clock::nowSeconds() - boot;
}

// MARK: - Scheduling

void QRVAUploader::updateSchedule() {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    // A reachability change can come before the start has built the store.
    if (!database() || !remoteConfig()) return;
    if (isUploadSuspended()) return idleUploadSchedule();
    if (!hasDataToUpload()) {
        QRVALog(7, 23024, "No data to upload. Upload task will not be scheduled");
        return idleUploadSchedule();
    }
    const double next = nextUploadingTime();
    if (std::fabs(next) < kEpsilon) {
        QRVALog(7, 23025, "No next uploading time. Upload task will not be scheduled");
        return idleUploadSchedule();
    }
    if (!network() || !network()->isNetworkConnected()) {
        QRVALog(7, 23026, "No network. Upload task will not be scheduled");
        // The reachability callback runs this again once the network is back.
        if (network()) network()->setReachabilityDelegate(weakEngine());
        alarm_->cancel();
        engine_.lifecycle().terminateBackgroundTask();
        return;
    }
    network()->setReachabilityDelegate({});
    armUploadAlarm(next);
}

bool QRVAUploader::isUploadSuspended() {
    if (suspendedUploadTimestamp_ == 0 || std::isnan(suspendedUploadTimestamp_)) return false;
    const double elapsed = std::fabs(uptimeSeconds() - suspendedUploadTimestamp_);
    if (elapsed < kQRVAMeasurementSuspensionTimeInterval) {
        monitor()->logWithLevel(4, 23023, "Upload has been suspended. Will update scheduling later. Seconds",
                                ns::Value(kQRVAMeasurementSuspensionTimeInterval - elapsed));
        return true;
    }
    suspendedUploadTimestamp_ = 0;
    return false;
}

void QRVAUploader::idleUploadSchedule() {
    alarm_->cancel();
    if (network()) network()->setReachabilityDelegate({});
    engine_.lifecycle().terminateBackgroundTask();
}

void QRVAUploader::armUploadAlarm(double next) {
    const double now = ns::Clock::nowSeconds();
    const double backoff = persistedConfig()->lastBackoffTimestamp();
    const double backoffInterval = remoteConfig()->uploadingBackoffInterval();
    if (std::fabs(backoff) > kEpsilon && now - backoff < backoffInterval) {
        next = std::max(next, backoff + backoffInterval);
    }
    if (auto armed = alarm_->scheduledTimestamp();
        armed && std::fabs(armed->secondsSince1970) > kEpsilon && armed->secondsSince1970 <= next) {
        monitor()->logWithLevel(7, 23027,
                                "Do not schedule an upload task. Task already exists. Will be executed in seconds",
                                ns::Value(armed->secondsSince1970 - now));
        return;
    }
    double delay = next - now;
    if (std::fabs(delay) < kEpsilon) delay = 0.001;
    std::weak_ptr<QRVAMeasurement> weak = weakEngine();
    std::weak_ptr<QRVAScheduler> workers = scheduler();
    alarm_->runAfterDelay(delay, [weak, workers] {
        if (auto queue = workers.lock()) {
            queue->scheduleOnWorkerQueueBlockID("QRVAMeasurement:1096", [weak] {
                if (auto engine = weak.lock()) engine->uploadData();
            });
        }
    });
    monitor()->logWithLevel(7, 23028, "Upload task scheduled to be executed in approx. (s)", ns::Value(delay));
}

double QRVAUploader::nextUploadingTime() {
    ns::ErrorRef error;
    auto rawEventTime = database()->queryLatestRawEventTime(&error);
    if (!rawEventTime && error) QRVALogError(4, 23029, "Failed to query latest raw event time. Error", error);
    error = nullptr;
    auto bundleTime = database()->queryLatestBundleTime(&error);
    if (!bundleTime && error) QRVALogError(4, 23030, "Failed to query latest bundle time. Error", error);
    const double latest = std::max(rawEventTime.value_or(0), bundleTime.value_or(0));
    if (std::fabs(latest) < kEpsilon) return 0;

    const double interval =
        isRealtimeUploadDue() ? remoteConfig()->uploadingRealTimeInterval() : remoteConfig()->uploadingInterval();
    const double now = ns::Clock::nowSeconds();
    // Data stamped in the future counts as that far in the past.
    const double base = now - std::fabs(latest - now);
    const double lastSuccess = persistedConfig()->lastSuccessfulUploadTimestamp();
    double next = std::fabs(now - lastSuccess) < interval ? lastSuccess + interval
                                                          : base + remoteConfig()->uploadingInitialDelayInterval();
    if (persistedConfig()->lastFailedUploadTimestamp() < base) {
        if (monitor()->isDebugModeEnabled()) next = std::min(next, base + remoteConfig()->uploadingDebugModeInterval());
        return next;
    }
    return retryUploadingTime(next, persistedConfig()->lastFailedUploadTimestamp());
}

// The first of next + 1, 3, 7, ... retry intervals that is later than the
// last failed attempt; 0 once the retries are used up.
double QRVAUploader::retryUploadingTime(double next, double lastFailed) {
    const int32_t count = remoteConfig()->uploadingRetryCount();
    const double retryInterval = remoteConfig()->uploadingRetryInterval();
    for (int32_t i = 0; i < count; ++i) {
        next += std::ldexp(1.0, i) * retryInterval;
        if (next > lastFailed) return next;
    }
    return 0;
}

bool QRVAUploader::isRealtimeUploadDue() {
    if (monitor()->isDebugModeEnabled()) return true;
    ns::ErrorRef error;
    auto bundles = database()->containsRealtimeBundlesWithError(&error);
    if (!bundles && error) QRVALogError(4, 23031, "Failed to query for real-time bundle indicator. Error", error);
    if (bundles.value_or(false)) return true;
    error = nullptr;
    auto rawEvents = database()->containsRealtimeRawEventsWithError(&error);
    if (!rawEvents && error) QRVALogError(4, 23032, "Failed to query for real-time raw event indicator. Error", error);
    return rawEvents.value_or(false);
}

bool QRVAUploader::hasDataToUpload() {
    ns::ErrorRef error;
    auto queueEmpty = database()->isQueuedBundleTableEmpty(&error);
    if (!queueEmpty) {
        QRVALogError(1, 23117, "Failed to check if queue table is empty. Error", error);
        return false;
    }
    if (!*queueEmpty) return true;
    auto rawEventsEmpty = database()->isRawEventsTableEmpty(&error);
    if (!rawEventsEmpty) {
        QRVALogError(1, 23118, "Failed to check if raw events table is empty. Error", error);
        return false;
    }
    return !*rawEventsEmpty;
}

bool QRVAUploader::isNetworkReadyForRequest() {
    const bool networkBusy = network() && network()->hasUploadInProgress();
    if (!isNetworkRequestPending_) return !networkBusy;
    if (!networkBusy) QRVALog(1, 23041, "Quorvane is uploading but network is not uploading");
    return false;
}

// MARK: - Upload

void QRVAUploader::uploadDataOrRegisterAlarm() {
    if (database() && network() && network()->isNetworkConnected() && hasDataToUpload()) {
        uploadData();
    } else {
        updateSchedule();
    }
}

void QRVAUploader::uploadData() {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (!database() || !remoteConfig()) return;
    if (suspendedUploadTimestamp_ > 0) return updateSchedule();
    QRVALog(7, 23033, "Starting data upload");
    if (!isNetworkReadyForRequest()) return QRVALog(7, 23034, "Network operation is pending. Ignoring upload request");
    if (!network() || !network()->isNetworkConnected()) {
        QRVALog(7, 23035, "Network not connected, ignoring upload request");
        return updateSchedule();
    }
    // No bundle is made under an expired configuration; the queue still goes.
    const bool expired = remoteConfig()->isExpired();
    if (!expired) makeBundlesForUpload();
    ns::ErrorRef error;
    auto bundles = database()->queryBundlesWithCountLimit(remoteConfig()->uploadMaxBundlesLimit(),
                                                         remoteConfig()->uploadMaxSizeLimitBytes(), &error);
    if (!bundles && error) {
        QRVALogError(1, 23036, "Failed to query bundles. Error", error);
        return engine_.lifecycle().terminateBackgroundTask();
    }
    if (!bundles || bundles->empty()) {
        QRVALog(7, 23037, "No data to upload");
        if (expired) engine_.fetchRemoteConfig();
        return;
    }
    if (const double last = persistedConfig()->lastSuccessfulUploadTimestamp(); last != 0) {
        monitor()->logWithLevel(7, 23038, "Uploading events. Elapsed time since last successful upload (s)",
                                ns::Value(std::fabs(ns::Clock::nowSeconds() - last)));
    }
    uploadBundles(compatibleBundles(*bundles));
}

void QRVAUploader::makeBundlesForUpload() {
    const int32_t limit = remoteConfig()->maxBundlesCreatedPerIteration();
    for (int32_t made = 0; made < limit && engine_.bundleRawEvents(); ++made) {
    }
}

// The batch holds bundles of one app and one device: the app of the first
// bundle, and the first device id met.
std::vector<QRVAQueuedBundle> QRVAUploader::compatibleBundles(const std::vector<QRVAQueuedBundle>& bundles) {
    const std::string appID = bundles.front().appID();
    std::string resettableDeviceID, vendorDeviceID;
    for (const auto& queued : bundles) {
        resettableDeviceID = queued.resettableDeviceID();
        if (!resettableDeviceID.empty()) break;
        vendorDeviceID = queued.vendorDeviceID();
        if (!vendorDeviceID.empty()) break;
    }
    return filteredBundlesWithCompatibleAppID(appID, resettableDeviceID, vendorDeviceID, bundles);
}

std::vector<QRVAQueuedBundle> QRVAUploader::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::string& resettableDeviceID, const std::string& vendorDeviceID,
    const std::vector<QRVAQueuedBundle>& bundlesToUpload) {
    if (!resettableDeviceID.empty() && !vendorDeviceID.empty()) {
        QRVALog(2, 23042, "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
        return {};
    }
    const bool byResettable = !resettableDeviceID.empty();
    const std::string& filterID = byResettable ? resettableDeviceID : vendorDeviceID;
    std::vector<QRVAQueuedBundle> compatible;
    for (const auto& queued : bundlesToUpload) {
        const std::string ownID = byResettable ? queued.resettableDeviceID() : queued.vendorDeviceID();
        const bool sameApp = queued.appID() == appID;
        if (!sameApp || !(ownID.empty() || filterID.empty() || ownID == filterID)) break;
        compatible.push_back(queued);
    }
    return compatible;
}

void QRVAUploader::uploadBundles(const std::vector<QRVAQueuedBundle>& bundles) {
    if (bundles.empty()) {
        // Nothing of the queue fits one batch: an empty batch is never sent.
        QRVALog(1, 23046, "Bundle list is empty. Cancelling upload");
        return updateSchedule();
    }
    const double now = ns::Clock::nowSeconds();
    const auto nowMillis = static_cast<int64_t>(now * 1000);
    std::vector<int64_t> rowIDs;
    for (const auto& queued : bundles) rowIDs.push_back(queued.rowID);
    auto payload = batchPayload(bundles, nowMillis);
    monitor()->logWithLevel(7, 23039, "Measurement data sent to network. Timestamp (ms), data", ns::Value(nowMillis),
                            ns::Value(std::make_shared<BatchLogContext>(
                                bundles, QRVAIdentity::quorvaneAnalyticsLibraryVersion(), nowMillis)));
    setUploadInProgressWithBundleIDs(rowIDs);
    // Another batch's rows still held: its answer would delete the wrong rows.
    if (uploadingBundleIDs_ != rowIDs) return;
    // Set before the request goes out: an upload that never answers counts
    // as a failed attempt for the retry rule.
    persistedConfig()->setLastFailedUploadTimestamp(now);
    if (!payload || payload->empty()) {
        // Never an empty or partial body: the bundles stay for the next try.
        return networkUploadCompletionHandlerWithResponse(
            nullptr, ns::Error::make(kQRVAErrorDomain, 2, "Failed to encode the measurement batch"));
    }
    postBatch(*payload);
}

std::optional<ns::Data> QRVAUploader::batchPayload(const std::vector<QRVAQueuedBundle>& bundles,
                                                      int64_t uploadMillis) {
    const int64_t version = QRVAIdentity::quorvaneAnalyticsLibraryVersion();
    size_t size = 0;
    for (const auto& queued : bundles) size += queued.wire ? queued.wire->bytes.size() + 32 : 0;
    ns::Data body;
    body.reserve(size);
    for (const auto& queued : bundles) {
        if (queued.wire) {
            queued.wire->appendStamped(version, uploadMillis, body);
            continue;
        }
        // Any other bundle is stamped and encoded alone: an element of the
        // batch is its bundle's own encoding behind the field's key.
        if (!queued.bundle) return std::nullopt;
        stamp(queued.bundle, version, uploadMillis);
        auto element = queued.bundle->protoBuffer();
        if (!element) return std::nullopt;
        QRVAWireBundle::appendElementKey(element->size(), body);
        body.insert(body.end(), element->begin(), element->end());
    }
    return body;
}

void QRVAUploader::postBatch(const ns::Data& payload) {
    isNetworkRequestPending_ = true;
    network()->setTimeoutInterval(remoteConfig()->networkTimeout());
    std::weak_ptr<QRVAMeasurement> weak = weakEngine();
    auto sessionID = network()->postURL(
        uploadURL(), payload, scheduler()->workerQueue(), remoteConfig()->isNetworkBackgroundSessionEnabled(),
        [weak](ns::HTTPURLResponsePtr response, ns::Data, ns::ErrorRef error) {
            auto engine = weak.lock();
            if (!engine) return;
            engine->uploader().setNetworkRequestPending(false);
            engine->uploader().networkUploadCompletionHandlerWithResponse(response, error);
        });
    if (!sessionID || sessionID->empty()) {
        // The network object still calls the handler, with an error.
        QRVALog(1, 23040, "Unable to create network session.");
        uploadingBundleIDs_.clear();
    }
}

void QRVAUploader::setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs) {
    if (bundleIDs.empty()) return QRVALog(1, 23046, "Bundle list is empty. Cancelling upload");
    if (!uploadingBundleIDs_.empty()) {
        return QRVALog(1, 23047, "Set uploading progress before finishing the previous upload");
    }
    uploadingBundleIDs_ = bundleIDs;
}

// MARK: - The answer

void QRVAUploader::networkUploadCompletionHandlerWithResponse(const ns::HTTPURLResponsePtr& response,
                                                                 const ns::ErrorRef& error) {
    const long status = response ? response->statusCode() : 0;
    if (status != 200 && status != 204) {
        recordFailedRequest(status);
        monitor()->logWithLevel(7, 23043, "Network upload failed. Will retry later. Code, error",
                                ns::Value(int64_t(status)), QRVAErrorContext(error));
        uploadingBundleIDs_.clear();
        return updateSchedule();
    }
    monitor()->logWithLevel(7, 23044, "Successful upload. Got network response. Code, size",
                            ns::Value(int64_t(status)), ns::Value(response->expectedContentLength()));
    persistedConfig()->setLastSuccessfulUploadTimestamp(ns::Clock::nowSeconds());
    persistedConfig()->setLastFailedUploadTimestamp(0);
    persistedConfig()->setLastBackoffTimestamp(0);
    updateSchedule();
    if (!removeBundlesFromDatabaseWithIDs(uploadingBundleIDs_)) {
        monitor()->logWithLevel(1, 23045, "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                                ns::Value(kQRVAMeasurementSuspensionTimeInterval));
        suspendUploads();
    } else {
        resumeUploads();
    }
    uploadingBundleIDs_.clear();
    continueAfterUpload();
}

// Failed uploads and failed configuration requests share one retry and
// back-off schedule.
void QRVAUploader::recordFailedRequest(long status) {
    const double now = ns::Clock::nowSeconds();
    persistedConfig()->setLastFailedUploadTimestamp(now);
    if (status == 503 || status == 429) persistedConfig()->setLastBackoffTimestamp(now);
}

void QRVAUploader::continueAfterUpload() {
    if (network()->isNetworkConnected() && hasDataToUpload()) return uploadData();
    if (!remoteConfig()->isExpired()) return updateSchedule();
    // Fetches the configuration once the queue is empty, or reschedules
    // when offline.
    uploadData();
}

bool QRVAUploader::removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& bundleIDs) {
    ns::Array rowIDs;
    for (int64_t rowID : bundleIDs) rowIDs.push_back(ns::Value(rowID));
    return database()->performTransaction([&] {
        ns::ErrorRef error;
        if (database()->deleteBundlesWithRowIDs(rowIDs, &error) || !error) return true;
        QRVALogError(1, 23122, "Failed to delete bundles from database. Error", error);
        return false;
    });
}
