// The measurement engine: the one object per process through which every
// event and user property of the analytics client passes. It owns the
// analytics store, the identity, the remote settings, the audience
// evaluator, the worker queue "com.ondrix.qrva.worker" and the upload timer.
//
// It exists only when the options carry an app ID
// (`initializeSharedInstanceWithOptions`, once per process; the facade calls
// it from the core's configure step). Whether measurement is on is decided at
// creation (the options' deactivated switch, then the persisted enabled
// state 1 or 2, then the options' collection switch) and applied through the
// same queued `setEnabled` as later changes, so creation never opens the
// store: the first enable runs the start sequence on the worker queue, and a
// failed start switches measurement off again and is retried whole at the
// next enable.
//
// Threads: the public entry points (`setEnabled`, `logEvent`, the user
// attribute calls) may be called from any thread and return at once; their
// work runs on the worker queue in call order. Methods whose names end in
// `OnWorkerQueue` run only there (asserted in Debug builds). Read callbacks
// arrive on the background-priority global queue, never on the caller's
// thread. The engine is never released while the process lives.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAPBMessages.h"
#include "analytics/QRVAPurchaseReporting.h"
#include "analytics/QRVASearchAdReporting.h"
#include "analytics/QRVASessionReporting.h"
#include "core/QRVNetwork.h"
#include "platform/file_manager.h"
#include "platform/guarded.h"
#include "platform/notification_center.h"
#include "platform/url.h"
#include "platform/value.h"

class QRVAAlarm;
class QRVAAudience;
class QRVADatabase;
class QRVAIdentity;
class QRVAMonitor;
class QRVAPersistedConfig;
class QRVARemoteConfig;
class QRVAScheduler;
struct QRVAQueuedBundle;
class QRVOptions;
namespace ns {
class SKPaymentTransaction;
}

inline constexpr const char* kQRVAMeasurementTimerName = "Measurement timer";
inline constexpr const char* kQRVAMeasurementFirstOpenCounterKey = "_pfo";
inline constexpr int64_t kQRVAMeasurementQuotaLogInterval = 1000;
// The link that launched the app, kept in the standard user defaults until
// the first-open report turns it into a campaign.
inline constexpr const char* kQRVAMeasurementDeepLinkKey = "/ondrix/measurement/deep_link";
inline constexpr const char* kQRVAMeasurementBackgroundTaskName = "QRVAnalyticsMeasurementBackgroundTask";
inline constexpr double kQRVARemoteConfigRefreshBlacklistTimeInterval = 604800.0;

class QRVAMeasurement : public std::enable_shared_from_this<QRVAMeasurement>, public QRVNetworkReachabilityDelegate {
public:
    // Creates the shared engine when the options carry an app ID; once per
    // process either way (a later call creates nothing).
    static void initializeSharedInstanceWithOptions(const std::shared_ptr<const QRVOptions>& options);
    static bool hasSharedInstance();
    // nullptr when there is none; before any creation it also warns (23147).
    static std::shared_ptr<QRVAMeasurement> sharedInstance();
    static std::shared_ptr<QRVAMonitor> monitor();
    // The shared engine's settings once its start has made them, else the
    // defaults-only shared instance.
    static std::shared_ptr<QRVARemoteConfig> remoteConfig();
    // Stands for a new process: the next creation runs again. An engine made
    // before keeps its worker queue; callers drain it first.
    static void resetSharedForTesting();

    // The engine over the shared persisted state, a new network object for
    // the measurement host, a new worker queue and its alarm.
    static std::shared_ptr<QRVAMeasurement> initWithOptions(const std::shared_ptr<const QRVOptions>& options);
    static std::shared_ptr<QRVAMeasurement> initWithDatabaseName(const std::string& databaseName,
                                                                 std::shared_ptr<QRVAPersistedConfig> persistedConfig,
                                                                 std::shared_ptr<QRVNetwork> network,
                                                                 std::shared_ptr<QRVAScheduler> scheduler,
                                                                 std::shared_ptr<QRVAAlarm> alarm,
                                                                 std::shared_ptr<const QRVOptions> options);
    ~QRVAMeasurement() override;

    bool shouldEnableMeasurement(const QRVOptions& options);
    // Any thread; queued on the worker queue.
    void setEnabled(bool enabled);
    void setEnabledOnWorkerQueue(bool enabled);
    bool isEnabled() const { return enabled_.load(); }
    bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
    bool startMeasurementOnWorkerQueue();
    void reachabilityDidChange() override;

    // Events (any thread; a nullopt event is logged, 23048).
    void logEvent(std::optional<QRVAEvent> event);
    void handleEventOnWorkerQueue(QRVAEvent event);
    void writeEventOnWorkerQueue(QRVAEvent event);
    void maybeAddDebugAndRealtimeParameters(QRVAEvent& event);
    // What describes the app, the device and the user when an event is
    // written; events written under the same description share one row.
    std::shared_ptr<QRVAPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
        const std::vector<QRVAUserAttribute>& attributes);

    // User attributes (any thread).
    void setUserAttribute(std::optional<QRVAUserAttribute> attribute);
    void removeUserAttribute(std::optional<QRVAUserAttribute> attribute);
    void userAttributeWithName(const std::string& name,
                               std::function<void(std::optional<QRVAUserAttribute>)> callback);
    void userPropertiesIncludingInternal(bool includeInternal, std::function<void(ns::Dictionary)> callback);
    void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int32_t)> callback);
    void setUserAttributeOnWorkerQueue(const QRVAUserAttribute& attribute);
    void removeUserAttributeOnWorkerQueue(const QRVAUserAttribute& attribute);

    // Components; those of the start sequence are null until it has run.
    // Read them on the worker queue.
    const std::shared_ptr<QRVAScheduler>& scheduler() const { return scheduler_; }
    const std::shared_ptr<QRVADatabase>& database() const { return database_; }
    const std::shared_ptr<QRVAIdentity>& identity() const { return identity_; }
    const std::shared_ptr<QRVARemoteConfig>& currentRemoteConfig() const { return remoteConfig_; }
    const std::shared_ptr<QRVAAudience>& audience() const { return audience_; }
    const std::shared_ptr<QRVNetwork>& network() const { return network_; }
    const std::string& databaseName() const { return databaseName_; }
    const std::optional<std::string>& previousVLPAppID() const { return previousVLPAppID_; }

    // MARK: Bundling (worker queue)
    // Makes at most one bundle of the oldest run of raw events.
    bool bundleRawEvents();

    // MARK: Upload scheduling, upload and configuration fetch (worker queue)
    // Arms, keeps or cancels the upload alarm for the next due time.
    void updateSchedule();
    // Seconds since 1970 at which the next upload is due; 0 for never.
    double nextUploadingTime();
    // Uploads now when connected with data waiting, else reschedules.
    void uploadDataOrRegisterAlarm();
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
    void networkUploadCompletionHandlerWithResponse(const ns::HTTPURLResponsePtr& response, const ns::ErrorRef& error);
    // Stamps the bundles and posts them as one batch: uploadData's last step.
    void uploadBundles(const std::vector<QRVAQueuedBundle>& bundles);
    // The encoded batch uploadBundles posts: the bundles stamped with the
    // upload time and this library's version. Bundles held as the encoder's
    // bytes get the stamps put in place, any other is stamped and encoded,
    // to the same bytes. nullopt when a bundle cannot be encoded.
    static std::optional<ns::Data> batchPayload(const std::vector<QRVAQueuedBundle>& bundles, int64_t uploadMillis);
    void setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs);
    bool hasDataToUpload();
    bool removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& bundleIDs);
    // From just before a post or a configuration request until its
    // completion handler starts. Any thread.
    bool isNetworkRequestPending() const { return isNetworkRequestPending_.load(); }
    // These two are the worker queue's alone: read them there.
    const std::vector<int64_t>& uploadingBundleIDs() const { return uploadingBundleIDs_; }
    // Uptime (seconds since boot) at which uploads were suspended; 0 when not.
    double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
    // Starts one conditional request for the remote configuration.
    void fetchRemoteConfig();
    void networkRemoteConfigFetchCompletionHandler(const ns::HTTPURLResponsePtr& response, const ns::Data& data,
                                                  const ns::ErrorRef& error);

    // MARK: Life cycle and background task
    // Flushes the persisted state and ends any background task held. Any
    // thread.
    void terminateBackgroundTask();
    // Holds `taskID` and ends the task held before (when there was one);
    // every task begun is ended exactly once, whichever thread swaps. Any
    // thread.
    void swapBackgroundTaskWithNewTaskID(uint64_t taskID);
    // The background task held; kUIBackgroundTaskInvalid (0) when none.
    uint64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
    // Observers of the application's notifications (main thread): resigning
    // flushes the persisted state and, when uploads in the background are
    // allowed, begins a background task and queues an upload behind the
    // facade's serial queue; entering the foreground ends the task; becoming
    // active refreshes a week-old configuration while internal events are
    // blacklisted.
    void handleAppWillResignActiveEvent(const ns::Notification& notification);
    void handleAppWillEnterForegroundNotification(const ns::Notification& notification);
    void handleAppDidBecomeActiveEvent(const ns::Notification& notification);
    // Observer of the launch notification from load time, engine or not:
    // stores the page of a browsing user activity, else the launch URL,
    // under kQRVAMeasurementDeepLinkKey for the first-open report.
    static void handleAppDidFinishLaunching(const ns::Notification& notification);
    // Seconds since 1970 at which the first open was recorded (the "_fot"
    // property's set time, else the earliest set time of any property); 0
    // when it cannot be told. Worker queue.
    double firstOpenTimestamp();
    // The facade's load time, taken when the engine was made.
    double initTimestamp() const { return initTimestamp_; }
    // The logger the engine hands its network object: the network's levels
    // become the monitor's.
    std::shared_ptr<QRVNetworkLoggerDelegate> networkLoggerDelegate() const;

    // MARK: Sessions
    // Any thread: passed on to the session reporter on the worker queue.
    void setMinimumSessionInterval(double seconds);
    void setSessionTimeoutInterval(double seconds);
    // How the first start makes the session reporter; the analytics API
    // installs it when the program loads. Any thread.
    static void setSessionReporterFactory(QRVASessionReporterFactory make);
    // Made by the first successful start; nullptr before it and without a
    // factory. Any thread.
    std::shared_ptr<QRVASessionReporting> sessionReporter() const;

private:
    void makeSessionReporterOnWorkerQueue();
    ns::Guarded<std::shared_ptr<QRVASessionReporting>> sessionReporter_;

public:
    // MARK: Purchases
    using PaymentTransactions = std::vector<std::shared_ptr<ns::SKPaymentTransaction>>;
    // The shared purchase reporter the start switches on; the analytics API
    // installs it when the program loads. Any thread.
    static void setPurchaseReporterProvider(QRVAPurchaseReporterProvider shared);
    // Any thread: calls back once, on the default-priority global queue,
    // with the transactions to report, in the order given. With
    // de-duplication on (remote setting) only purchased transactions not
    // seen before pass, checked on the worker queue; with it off, all pass.
    void filterPurchaseTransactions(PaymentTransactions transactions,
                                    std::function<void(PaymentTransactions)> callback);

    // MARK: Search ads
    // How the first start makes the search-ad reporter; the analytics API
    // installs it when the program loads. Any thread.
    static void setSearchAdReporterFactory(QRVASearchAdReporterFactory make);
    // Made by the first start when the remote setting allows; nullptr
    // otherwise. Any thread.
    std::shared_ptr<QRVASearchAdReporting> searchAdReporter() const;

private:
    void enablePurchaseReportingOnWorkerQueue();
    void makeSearchAdReporterOnWorkerQueue();
    ns::Guarded<std::shared_ptr<QRVASearchAdReporting>> searchAdReporter_;

public:

    // MARK: Automatic events and deep links
    // Any queue: a campaign URL becomes "_cmp" through the facade, with
    // "click_timestamp" (milliseconds) when one is given.
    void handleOpenURL(const ns::URL& url);
    void handleOpenURL(const ns::URL& url, std::optional<int64_t> clickTimestamp);
    void handleDeepLink(const ns::URL& url, std::optional<int64_t> clickTimestamp);
    // At least one of utm_campaign, oclid, utm_medium, utm_source is non-empty.
    bool isValidCampaignURLParamDictionary(const ns::Dictionary& parameters) const;
    // The web page of a browsing user activity; nullopt otherwise.
    static std::optional<ns::URL> deepLinkFromUserActivity(const ns::ObjectPtr& activity);
    // The launch link stored before the engine started, reported once as a
    // campaign and removed.
    void maybeReportStoredCampaignEventWithClickTimestamp(int64_t clickTimestamp);
    // Worker queue, in this order, at every start: the first open ("_f" and
    // "_e" once per store), an app update ("_au") and an OS update ("_ou").
    void reportFirstOpenOnWorkerQueue();
    void reportAppUpdateOnWorkerQueue();
    void reportOSUpdateOnWorkerQueue();
    // Up to the next whole hour; a whole hour moves a full hour on.
    static int64_t timestampMillisRoundedUpToNextHour(int64_t milliseconds);
    // nullopt for an empty path or one whose attributes cannot be read (5, 23022).
    std::optional<ns::FileAttributes> fileAttributesForPath(const std::string& path) const;
    // The install looks older than a fresh one and nothing of an earlier
    // analytics install is left (no previous app ID, no first-open count).
    bool isAppUpdateWithAnalytics();

    QRVAMeasurement(std::string databaseName, std::shared_ptr<QRVAPersistedConfig> persistedConfig,
                    std::shared_ptr<QRVNetwork> network, std::shared_ptr<QRVAScheduler> scheduler,
                    std::shared_ptr<QRVAAlarm> alarm, std::shared_ptr<const QRVOptions> options);

private:
    class NetworkLogger;
    struct WriteState {
        bool dropped = false;
        bool realtimeRow = false;
    };

    bool runStartSequence();
    void clearDataOfPreviousApp();
    bool openComponents();
    void installProviders();
    bool countEventInTransaction(QRVAEvent& event, bool isPublic, WriteState& state);
    bool storeEventInTransaction(const QRVAEvent& event, bool isPublic, const WriteState& state);
    bool isUnderNewPublicNameLimit(const QRVAEvent& event);
    void countFirstOpen();
    bool isUserAttributeAllowed(const QRVAUserAttribute& attribute);
    // Upload
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
    void recordFailedRequest(long statusCode);
    void continueAfterUpload();
    bool recordConfigFetchTime(int64_t failureCode);
    bool applyFetchedConfig(const ns::Data& data);

    std::shared_ptr<const QRVOptions> options_;
    std::string databaseName_;
    bool componentsInitialized_ = false;
    std::shared_ptr<QRVAAlarm> alarm_;
    std::shared_ptr<QRVAAudience> audience_;
    std::shared_ptr<QRVADatabase> database_;
    std::shared_ptr<QRVAIdentity> identity_;
    std::shared_ptr<QRVNetwork> network_;
    std::shared_ptr<NetworkLogger> networkLogger_;
    std::shared_ptr<QRVAPersistedConfig> persistedConfig_;
    std::shared_ptr<QRVARemoteConfig> remoteConfig_;
    std::shared_ptr<QRVAScheduler> scheduler_;
    std::optional<std::string> previousVLPAppID_;
    std::atomic<bool> enabled_{false};
    bool wasEnabledDuringInitialization_ = false;
    // Life cycle
    static double facadeLoadTimestamp();
    void registerLifecycleObservers();
    void reportFirstOpenEvents(int64_t previousFirstOpens);
    void reportUpdate(const char* name, const char* parameter, const std::optional<std::string>& stored);
    std::atomic<uint64_t> backgroundUpdateTask_{0};
    double initTimestamp_ = facadeLoadTimestamp();
    std::shared_ptr<void> lifecycleObservers_;
    // Upload
    std::atomic<bool> isNetworkRequestPending_{false};
    std::vector<int64_t> uploadingBundleIDs_;
    double suspendedUploadTimestamp_ = 0;
};
