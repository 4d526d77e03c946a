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
#include "core/QRVNetwork.h"
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
class QRVOptions;

inline constexpr const char* kQRVAMeasurementTimerName = "Measurement timer";
inline constexpr const char* kQRVAMeasurementFirstOpenCounterKey = "_pfo";
inline constexpr int64_t kQRVAMeasurementQuotaLogInterval = 1000;

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
    void updateSchedule();
    void uploadData();
    void fetchRemoteConfig();
    bool isNetworkReadyForRequest();

    // MARK: Life cycle and background task
    // Flushes the persisted state and ends any background task held.
    void terminateBackgroundTask();

    // MARK: Sessions
    // Any thread: passed on to the session reporter on the worker queue.
    void setMinimumSessionInterval(double seconds);
    void setSessionTimeoutInterval(double seconds);

    // MARK: Automatic events and deep links
    // Any queue: a campaign URL becomes "_cmp" through the facade.
    void handleOpenURL(const ns::URL& url);
    // The web page of a browsing user activity; nullopt otherwise.
    static std::optional<ns::URL> deepLinkFromUserActivity(const ns::ObjectPtr& activity);

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
};
