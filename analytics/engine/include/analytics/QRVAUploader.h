// The measurement engine's uploader: what it owns and when it sends. It
// keeps the upload alarm (the engine's timer), the row ids of the bundles in
// flight, the suspension stamp (uploads pause for an hour when accepted
// bundles could not be deleted, or the configuration's fetch time could not
// be stored) and the flag of a request in flight, which the configuration
// fetch shares since one request goes out at a time.
//
// The next upload is due an upload interval after the last success, else an
// initial delay after the newest data (hurried for real-time data and in
// debug mode); after failures it is retried at doubling delays, and a server
// back-off (429, 503) holds it back. An upload bundles the raw events (while
// the configuration is current), posts one batch of the leading queued
// bundles of one app and device, deletes them when the host accepts them and
// goes on while data is waiting; with the queue empty and the configuration
// expired it hands over to the configuration fetch.
//
// Worker queue only, but `isNetworkRequestPending` (any thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "analytics/QRVAMeasurementPart.h"

class QRVAUploader : QRVAMeasurementPart {
public:
    QRVAUploader(QRVAMeasurement& engine, std::shared_ptr<QRVAAlarm> alarm);

    // MARK: Scheduling
    // Arms, keeps or cancels the upload alarm for the next due time.
    void updateSchedule();
    // Seconds since 1970 at which the next upload is due; 0 for never.
    double nextUploadingTime();
    bool hasDataToUpload();
    // Uploads now when connected with data waiting, else reschedules.
    void uploadDataOrRegisterAlarm();

    // MARK: Upload
    // Bundles the raw events (while the configuration is current) and posts
    // one batch of queued bundles; fetches the configuration once the queue
    // is empty and it has expired.
    void uploadData();
    // No request of the engine or its network object in flight.
    bool isNetworkReadyForRequest();
    // The leading run of bundles of the app that share the device id.
    std::vector<QRVAQueuedBundle> filteredBundlesWithCompatibleAppID(const std::string& appID,
                                                                    const std::string& resettableDeviceID,
                                                                    const std::string& vendorDeviceID,
                                                                    const std::vector<QRVAQueuedBundle>& bundlesToUpload);
    // Stamps the bundles and posts them as one batch: uploadData's last step.
    void uploadBundles(const std::vector<QRVAQueuedBundle>& bundles);
    // The encoded batch uploadBundles posts: the bundles stamped with the
    // upload time and this library's version. Bundles held as the encoder's
    // bytes get the stamps put in place, any other is stamped and encoded,
    // to the same bytes. nullopt when a bundle cannot be encoded.
    static std::optional<ns::Data> batchPayload(const std::vector<QRVAQueuedBundle>& bundles, int64_t uploadMillis);
    void setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs);
    bool removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& bundleIDs);
    void networkUploadCompletionHandlerWithResponse(const ns::HTTPURLResponsePtr& response, const ns::ErrorRef& error);

    // MARK: What the uploader owns, and what the configuration fetch sets
    // From just before a post or a configuration request until its
    // completion handler starts. Any thread.
    bool isNetworkRequestPending() const { return isNetworkRequestPending_.load(); }
    void setNetworkRequestPending(bool pending) { isNetworkRequestPending_ = pending; }
    const std::vector<int64_t>& uploadingBundleIDs() const { return uploadingBundleIDs_; }
    // Uptime (seconds since boot) at which uploads were suspended; 0 when not.
    double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
    void suspendUploads() { suspendedUploadTimestamp_ = uptimeSeconds(); }
    void resumeUploads() { suspendedUploadTimestamp_ = 0; }
    // Failed uploads and failed configuration requests share one retry and
    // back-off schedule.
    void recordFailedRequest(long statusCode);

private:
    // Seconds since boot on ns::Clock; -1 when the boot time is unknown.
    static double uptimeSeconds();
    void armUploadAlarm(double nextTime);
    void idleUploadSchedule();
    bool isUploadSuspended();
    bool isRealtimeUploadDue();
    double retryUploadingTime(double next, double lastFailed);
    void makeBundlesForUpload();
    std::vector<QRVAQueuedBundle> compatibleBundles(const std::vector<QRVAQueuedBundle>& bundles);
    void postBatch(const ns::Data& payload);
    void continueAfterUpload();

    std::shared_ptr<QRVAAlarm> alarm_;
    std::atomic<bool> isNetworkRequestPending_{false};
    std::vector<int64_t> uploadingBundleIDs_;
    double suspendedUploadTimestamp_ = 0;
};
