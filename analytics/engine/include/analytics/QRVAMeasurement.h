// The measurement engine, one per process, through which every event and user
// property passes. It owns the components (store, identity, remote settings,
// audiences, network object, worker queue "com.ondrix.qrva.worker") and six
// parts, each with its own header and state: QRVAEventWriter, QRVAUploader,
// QRVAConfigFetch, QRVAAutomaticEvents, QRVAMeasurementLifecycle and
// QRVAMeasurementReporters. It keeps creation, enabling, the start sequence (on
// the worker queue at the first enable) and user attributes. A start that
// fails leaves measurement on with no components: what is logged meanwhile
// waits in memory (QRVAMeasurementStart.h) and the start is tried again, whole,
// with the next event once its retry time has come, when the app becomes
// active and on a timer ("Measurement retry timer", ns::Clock), after which
// the waiting work is written in order; work that finds the store locked by
// another program waits the same way. Calls marked "any thread", `setEnabled`, `logEvent` and the user
// attribute calls queue their work in call order; the rest is the worker
// queue's (`OnWorkerQueue` methods assert it in Debug builds).
#pragma once

#include <atomic>
#include <memory>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAMeasurementStart.h"
#include "analytics/QRVAPBMessages.h"
#include "core/QRVNetwork.h"
#include "platform/file_manager.h"
#include "platform/url.h"
#include "platform/value.h"

class QRVAAlarm; class QRVAAudience; class QRVADatabase; class QRVAIdentity; class QRVAMonitor; class QRVAScheduler;
class QRVAPersistedConfig; class QRVARemoteConfig; class QRVASearchAdReporting; class QRVASessionReporting;
class QRVOptions; struct QRVAQueuedBundle; namespace ns { class SKPaymentTransaction; }
class QRVAAutomaticEvents; class QRVAConfigFetch; class QRVAEventWriter; class QRVAMeasurementLifecycle;  // parts
class QRVAMeasurementReporters; class QRVAUploader;  // parts

inline constexpr const char* kQRVAMeasurementTimerName = "Measurement timer";
inline constexpr const char* kQRVAMeasurementRetryTimerName = "Measurement retry timer";
inline constexpr const char* kQRVAMeasurementDeepLinkKey = "/ondrix/measurement/deep_link";  // the launch link
inline constexpr const char* kQRVAMeasurementBackgroundTaskName = "QRVAnalyticsMeasurementBackgroundTask";
// How long (real time) the application's end waits for the first open of a
// launch that ends before its first screen to be stored.
inline constexpr double kQRVAMeasurementFirstOpenAtEndWaitSeconds = 5.0;

class QRVAMeasurement : public std::enable_shared_from_this<QRVAMeasurement>, public QRVNetworkReachabilityDelegate {
public:
    using PaymentTransactions = std::vector<std::shared_ptr<ns::SKPaymentTransaction>>;
    // MARK: The shared engine (any thread; nullptr when none, warning 23147 before creation), creation, start
    static void initializeSharedInstanceWithOptions(const std::shared_ptr<const QRVOptions>& options);
    static bool hasSharedInstance();
    static std::shared_ptr<QRVAMeasurement> sharedInstance();
    static std::shared_ptr<QRVAMonitor> monitor();
    static std::shared_ptr<QRVARemoteConfig> remoteConfig();  // the engine's settings, else the defaults
    static void resetSharedForTesting();  // a new process; callers drain the old engine's queue first
    static std::shared_ptr<QRVAMeasurement> initWithOptions(const std::shared_ptr<const QRVOptions>& options);
    static std::shared_ptr<QRVAMeasurement> initWithDatabaseName(
        const std::string& databaseName, std::shared_ptr<QRVAPersistedConfig> persistedConfig,
        std::shared_ptr<QRVNetwork> network, std::shared_ptr<QRVAScheduler> scheduler,
        std::shared_ptr<QRVAAlarm> alarm, std::shared_ptr<const QRVOptions> options);
    QRVAMeasurement(std::string databaseName, std::shared_ptr<QRVAPersistedConfig> persistedConfig,
                    std::shared_ptr<QRVNetwork> network, std::shared_ptr<QRVAScheduler> scheduler,
                    std::shared_ptr<QRVAAlarm> alarm, std::shared_ptr<const QRVOptions> options);
    ~QRVAMeasurement() override;
    bool shouldEnableMeasurement(const QRVOptions& options);
    void setEnabled(bool enabled);
    void setEnabledOnWorkerQueue(bool enabled);
    bool isEnabled() const { return enabled_.load(); }
    bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
    bool startMeasurementOnWorkerQueue();
    void reachabilityDidChange() override;
    std::shared_ptr<QRVNetworkLoggerDelegate> networkLoggerDelegate() const;  // network levels -> monitor's
    // MARK: Components (null until the start has made them) and parts
    // Worker queue: what the start made, every component there; nullptr
    // until a start succeeded.
    const QRVAStartedComponents* started() const { return started_.get(); }
    // Worker queue: runs `work` with the started components now, when the
    // engine has started and nothing waits before it; otherwise it waits
    // (QRVAWaitingWork) and runs, in order, once a later try gets through.
    // The next try comes now when its time has come.
    void runWhenStarted(QRVAStartedWork work);
    size_t waitingWorkCount() const { return waiting_.size(); }  // worker queue
    const std::shared_ptr<QRVAScheduler>& scheduler() const { return scheduler_; }
    const std::shared_ptr<QRVADatabase>& database() const { return database_; }
    const std::shared_ptr<QRVAIdentity>& identity() const { return identity_; }
    const std::shared_ptr<QRVARemoteConfig>& currentRemoteConfig() const { return remoteConfig_; }
    const std::shared_ptr<QRVAAudience>& audience() const { return audience_; }
    const std::shared_ptr<QRVNetwork>& network() const { return network_; }
    const std::shared_ptr<QRVAPersistedConfig>& persistedConfig() const { return persistedConfig_; }
    const std::string& databaseName() const { return databaseName_; }
    const std::optional<std::string>& previousVLPAppID() const { return previousVLPAppID_; }
    double initTimestamp() const { return initTimestamp_; }  // the facade's load time
    QRVAEventWriter& eventWriter() const { return *eventWriter_; }
    QRVAUploader& uploader() const { return *uploader_; }
    QRVAConfigFetch& configFetch() const { return *configFetch_; }
    QRVAAutomaticEvents& automaticEvents() const { return *automaticEvents_; }
    QRVAMeasurementLifecycle& lifecycle() const { return *lifecycle_; }
    QRVAMeasurementReporters& reporters() const { return *reporters_; }
    // MARK: Forwards to the parts
    void logEvent(std::optional<QRVAEvent> event);
    void handleEventOnWorkerQueue(QRVAEvent event);
    void writeEventOnWorkerQueue(QRVAEvent event);
    std::shared_ptr<QRVAPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
        const std::vector<QRVAUserAttribute>& attributes);
    void updateSchedule();
    double nextUploadingTime();
    void uploadData();
    std::vector<QRVAQueuedBundle> filteredBundlesWithCompatibleAppID(
        const std::string& appID, const std::string& resettableDeviceID, const std::string& vendorDeviceID,
        const std::vector<QRVAQueuedBundle>& bundlesToUpload);
    void uploadBundles(const std::vector<QRVAQueuedBundle>& bundles);
    static std::optional<ns::Data> batchPayload(const std::vector<QRVAQueuedBundle>& bundles, int64_t uploadMillis);
    bool isNetworkRequestPending() const;  // any thread
    const std::vector<int64_t>& uploadingBundleIDs() const;
    double suspendedUploadTimestamp() const;
    void fetchRemoteConfig();
    void handleOpenURL(const ns::URL& url);
    void handleOpenURL(const ns::URL& url, std::optional<int64_t> clickTimestamp);
    static std::optional<ns::URL> deepLinkFromUserActivity(const ns::ObjectPtr& activity);
    static int64_t timestampMillisRoundedUpToNextHour(int64_t milliseconds);
    std::optional<ns::FileAttributes> fileAttributesForPath(const std::string& path) const;
    bool isAppUpdateWithAnalytics();
    uint64_t backgroundUpdateTask() const;  // any thread
    // Any thread: after what the worker queue holds (the start among it), a
    // first open still waiting for its screen is written with the current
    // screen, then `done` runs (worker queue). The application's end waits
    // for it.
    void writeWaitingFirstOpenBeforeLeaving(std::function<void()> done);
    double firstOpenTimestamp();
    bool bundleRawEvents();  // QRVAMeasurementBundling.cpp: at most one bundle of the oldest raw events
    // MARK: User attributes (QRVAMeasurementUserAttributes.cpp)
    void setUserAttribute(std::optional<QRVAUserAttribute> attribute);
    void removeUserAttribute(std::optional<QRVAUserAttribute> attribute);
    void userAttributeWithName(const std::string& name, std::function<void(std::optional<QRVAUserAttribute>)> callback);
    void userPropertiesIncludingInternal(bool includeInternal, std::function<void(ns::Dictionary)> callback);
    void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int32_t)> callback);
    void setUserAttributeOnWorkerQueue(const QRVAUserAttribute& attribute);
    // Inside a transaction the caller holds: the attribute within its
    // origin's limits, stored with the audiences it changes; false to roll back.
    bool setUserAttributeInTransaction(const QRVAUserAttribute& attribute);
    void removeUserAttributeOnWorkerQueue(const QRVAUserAttribute& attribute);
    // MARK: Reporters of the layer above: QRVAMeasurementReporters'
    void setMinimumSessionInterval(double seconds);
    void setSessionTimeoutInterval(double seconds);
    std::shared_ptr<QRVASessionReporting> sessionReporter() const;  // from the first start; any thread
    void filterPurchaseTransactions(PaymentTransactions transactions, std::function<void(PaymentTransactions)> callback);
    std::shared_ptr<QRVASearchAdReporting> searchAdReporter() const;  // any thread

private:
    class NetworkLogger;
    bool runStartSequence();
    void clearDataOfPreviousApp();
    bool openComponents();
    // The start, then the session reporter and the waiting work; false (the
    // next try armed) when the start failed.
    bool startAndWriteWaitingWork();
    void retryWaitingWork();
    void armRetry();
    void observeBecomingActive();
    void installProviders();
    bool isUserAttributeAllowed(const QRVAUserAttribute& attribute);
    bool storeUserAttributeInTransaction(const QRVAUserAttribute& attribute);

    std::shared_ptr<const QRVOptions> options_;
    std::string databaseName_;
    bool componentsInitialized_ = false;
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
    double initTimestamp_;
    std::shared_ptr<const QRVAStartedComponents> started_;
    // The settings any thread reads through remoteConfig(): under the shared
    // engine's mutex, set once the start has made them.
    std::shared_ptr<QRVARemoteConfig> settingsForAnyThread_;
    QRVAWaitingWork waiting_;
    std::shared_ptr<QRVAAlarm> retryAlarm_;
    double retryDelay_ = kQRVAWaitingWorkFirstRetrySeconds;
    double nextRetryAt_ = 0;
    std::shared_ptr<void> becomingActiveObserver_;
    std::unique_ptr<QRVAEventWriter> eventWriter_;
    std::unique_ptr<QRVAUploader> uploader_;
    std::unique_ptr<QRVAConfigFetch> configFetch_;
    std::unique_ptr<QRVAAutomaticEvents> automaticEvents_;
    std::unique_ptr<QRVAMeasurementLifecycle> lifecycle_;
    std::unique_ptr<QRVAMeasurementReporters> reporters_;
};
