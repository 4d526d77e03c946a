// The engine's creation, its switching on and off, and the start sequence
// that builds the store and the components over it the first time
// measurement is enabled.

#include "analytics/QRVAMeasurement.h"

#include <filesystem>

#include "analytics/QRVAAlarm.h"
#include "analytics/QRVAAudience.h"
#include "analytics/QRVAAutomaticEvents.h"
#include "analytics/QRVAConfigFetch.h"
#include "analytics/QRVAConstants.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEngineBridge.h"
#include "analytics/QRVAEventWriter.h"
#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurementLifecycle.h"
#include "analytics/QRVAMeasurementReporters.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUploader.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace {

struct Shared {
    std::mutex mutex;
    bool created = false;
    std::shared_ptr<QRVAMeasurement> engine;
};

Shared& shared() {
    // Worker-queue blocks may read it after a test's end; never destroyed.
    static Shared* instance = new Shared;
    return *instance;
}

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

// The network layer's own lines go to the analytics monitor, so that they
// follow its debug mode and sampling. The core's levels are ASL's (3 error
// to 7 debug) and mean something else to the monitor, whose 5 is silent: a
// notice, or a level the core does not use, is a plain warning there.
class QRVAMeasurement::NetworkLogger : public ns::Object, public QRVNetworkLoggerDelegate {
public:
    static int64_t monitorLevel(int level) {
        switch (level) {
            case 3:
                return 1;
            case 4:
            case 6:
            case 7:
                return level;
            default:
                return 3;
        }
    }
    void qrvNetwork_logWithLevel(int level, int code, const std::string& message) override {
        qrvNetwork_logWithLevel(level, code, message, ns::Array{});
    }
    void qrvNetwork_logWithLevel(int level, int code, const std::string& message, const ns::Value& context) override {
        qrvNetwork_logWithLevel(level, code, message, context.isNull() ? ns::Array{} : ns::Array{context});
    }
    void qrvNetwork_logWithLevel(int level, int code, const std::string& message, const ns::Array& contexts) override {
        QRVAMeasurement::monitor()->logWithLevel(monitorLevel(level), code, message, contexts);
    }
};

std::shared_ptr<QRVNetworkLoggerDelegate> QRVAMeasurement::networkLoggerDelegate() const { return networkLogger_; }

// MARK: - The shared engine

void QRVAMeasurement::initializeSharedInstanceWithOptions(const std::shared_ptr<const QRVOptions>& options) {
    std::lock_guard lock(shared().mutex);
    if (shared().created) return;
    shared().created = true;
    if (!options || !nonEmpty(options->ondrixAppID())) return;
    monitor();
    shared().engine = initWithOptions(options);
}

bool QRVAMeasurement::hasSharedInstance() {
    std::lock_guard lock(shared().mutex);
    return shared().engine != nullptr;
}

std::shared_ptr<QRVAMeasurement> QRVAMeasurement::sharedInstance() {
    std::lock_guard lock(shared().mutex);
    if (!shared().created) {
        QRVLogWarning(kQRVLoggerAnalytics, ns::format("I-ACS%06ld", 23147L),
                      "Quorvane Analytics has not been created. Please, configure Quorvane by calling "
                      "[QRVApp configure]");
    }
    return shared().engine;
}

std::shared_ptr<QRVAMonitor> QRVAMeasurement::monitor() { return QRVAMeasurementMonitor(); }

std::shared_ptr<QRVARemoteConfig> QRVAMeasurement::remoteConfig() {
    std::shared_ptr<QRVAMeasurement> engine;
    {
        std::lock_guard lock(shared().mutex);
        engine = shared().engine;
    }
    // An engine whose start has not made its settings yet answers the
    // defaults, as no engine does.
    if (engine && engine->settingsForAnyThread_) return engine->settingsForAnyThread_;
    return QRVARemoteConfig::defaultInstance();
}

void QRVAMeasurement::resetSharedForTesting() {
    std::lock_guard lock(shared().mutex);
    shared().created = false;
    shared().engine.reset();
    QRVAEngineForgetStart();
}

// MARK: - Creation

std::shared_ptr<QRVAMeasurement> QRVAMeasurement::initWithOptions(const std::shared_ptr<const QRVOptions>& options) {
    auto monitor = QRVAMeasurement::monitor();
    monitor->logWithLevel(6, 23007, ns::format("Quorvane Analytics v.%@ started", kQRVAAnalyticsVersionString));
    monitor->logWithLevel(6, 23008,
                          monitor->isDebugModeEnabled()
                              ? "To disable debug logging set the following application argument: "
                                "-noQRVAnalyticsDebugEnabled (see docs/ARCHITECTURE.md, Analytics foundation)"
                              : "To enable debug logging set the following application argument: "
                                "-QRVAnalyticsDebugEnabled (see docs/ARCHITECTURE.md, Analytics foundation)");
    monitor->logWithLevel(7, 23009, "Debug logging enabled");
    auto network = QRVNetwork::make(kQRVAMeasurementHost);
    if (!network) monitor->logWithLevel(1, 23010, "Failed to initialize network component");
    auto scheduler = QRVAScheduler::initWithWorkerQueueLabel(kQRVASchedulerWorkerQueueLabel);
    auto alarm = QRVAAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQRVAMeasurementTimerName);
    return initWithDatabaseName(kQRVADatabaseFileName, QRVAPersistedConfig::sharedInstance(), std::move(network),
                                std::move(scheduler), std::move(alarm), options);
}

QRVAMeasurement::QRVAMeasurement(std::string databaseName, std::shared_ptr<QRVAPersistedConfig> persistedConfig,
                                 std::shared_ptr<QRVNetwork> network, std::shared_ptr<QRVAScheduler> scheduler,
                                 std::shared_ptr<QRVAAlarm> alarm, std::shared_ptr<const QRVOptions> options)
    : options_(std::move(options)),
      databaseName_(std::move(databaseName)),
      network_(std::move(network)),
      persistedConfig_(std::move(persistedConfig)),
      scheduler_(std::move(scheduler)),
      initTimestamp_(QRVAFacadeLoadTimestamp()),
      retryAlarm_(QRVAAlarm::initWithDispatchQueue(scheduler_->workerQueue(), kQRVAMeasurementRetryTimerName)),
      eventWriter_(std::make_unique<QRVAEventWriter>(*this)),
      uploader_(std::make_unique<QRVAUploader>(*this, std::move(alarm))),
      configFetch_(std::make_unique<QRVAConfigFetch>(*this)),
      automaticEvents_(std::make_unique<QRVAAutomaticEvents>(*this)),
      lifecycle_(std::make_unique<QRVAMeasurementLifecycle>(*this)),
      reporters_(std::make_unique<QRVAMeasurementReporters>(*this)) {}

std::shared_ptr<QRVAMeasurement> QRVAMeasurement::initWithDatabaseName(
    const std::string& databaseName, std::shared_ptr<QRVAPersistedConfig> persistedConfig,
    std::shared_ptr<QRVNetwork> network, std::shared_ptr<QRVAScheduler> scheduler, std::shared_ptr<QRVAAlarm> alarm,
    std::shared_ptr<const QRVOptions> options) {
    auto engine = std::make_shared<QRVAMeasurement>(databaseName, std::move(persistedConfig), std::move(network),
                                                    std::move(scheduler), std::move(alarm), std::move(options));
    if (engine->network_) {
        // Kept weakly by the network: the engine holds it for its lifetime.
        engine->networkLogger_ = std::make_shared<NetworkLogger>();
        engine->network_->setLoggerDelegate(engine->networkLogger_);
        engine->network_->setIsDebugModeEnabled(monitor()->isDebugModeEnabled());
        engine->network_->setReachabilityDelegate(engine);
    }
    engine->observeBecomingActive();
    const bool enable = engine->options_ && engine->shouldEnableMeasurement(*engine->options_);
    engine->setEnabled(enable);
    engine->wasEnabledDuringInitialization_ = enable;
    return engine;
}

QRVAMeasurement::~QRVAMeasurement() = default;

bool QRVAMeasurement::shouldEnableMeasurement(const QRVOptions& options) {
    if (options.isAnalyticsCollectionDeactivated()) return false;
    switch (persistedConfig_ ? persistedConfig_->measurementEnabledState() : 0) {
        case 1:
            return true;
        case 2:
            return false;
        default:
            return options.isAnalyticsCollectionEnabled();
    }
}

// MARK: - Enabling

void QRVAMeasurement::setEnabled(bool enabled) {
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("QRVAMeasurement:496", [weak, enabled] {
        if (auto engine = weak.lock()) engine->setEnabledOnWorkerQueue(enabled);
    });
}

void QRVAMeasurement::setEnabledOnWorkerQueue(bool enabled) {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    if (enabled && options_ && options_->isAnalyticsCollectionDeactivated()) return;
    // Events that waited behind the first open were logged while enabled.
    if (!enabled) automaticEvents_->writeWaitingFirstOpen(QRVAFacadeScreenParameters());
    enabled_ = enabled;
    if (!enabled) {
        if (auto reporter = sessionReporter()) reporter->setReportingEnabled(false);
        monitor()->logWithLevel(6, 23013, "Quorvane Analytics disabled");
        return;
    }
    startAndWriteWaitingWork();
}

bool QRVAMeasurement::startAndWriteWaitingWork() {
    // Measurement stays on: what is logged meanwhile waits for the next try
    // rather than being dropped as if the user had switched it off.
    if (!startMeasurementOnWorkerQueue()) {
        monitor()->logWithLevel(7, 23011, "Failed to start Quorvane Analytics. Quorvane Analytics is disabled");
        monitor()->logWithLevel(4, 23180,
                                "Events and user properties logged meanwhile are kept in memory until a start "
                                "succeeds. Next try in seconds, most kept",
                                ns::Value(retryDelay_), ns::Value(int64_t(kQRVAWaitingWorkLimit)));
        armRetry();
        return false;
    }
    if (auto reporter = sessionReporter()) reporter->setReportingEnabled(true);
    monitor()->logWithLevel(6, 23012, "Quorvane Analytics enabled");
    retryWaitingWork();
    return true;
}

// MARK: - Work that waits for the start or for the store

void QRVAMeasurement::runWhenStarted(QRVAStartedWork work) {
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    if (started_ && waiting_.empty()) {
        if (work(*started_) == QRVAWorkOutcome::Finished) return;
        monitor()->logWithLevel(4, 23183, "Store is locked by another connection. Work waits for it. Next try in seconds",
                                ns::Value(retryDelay_));
        // Just tried: the next try waits for its time.
        waiting_.push(std::move(work));
        armRetry();
        return;
    }
    const uint64_t droppedBefore = waiting_.dropped();
    if (!waiting_.push(std::move(work)) && droppedBefore == 0) {
        monitor()->logWithLevel(1, 23181,
                                "Data loss. Too many events and user properties wait for the store. Newer ones are "
                                "dropped until it is written. Limit",
                                ns::Value(int64_t(kQRVAWaitingWorkLimit)));
    }
    if (ns::Clock::nowSeconds() >= nextRetryAt_) {
        retryWaitingWork();
    } else if (!retryAlarm_->scheduledTimestamp()) {
        armRetry();
    }
}

void QRVAMeasurement::retryWaitingWork() {
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    if (!started_) {
        // Switched off meanwhile: the next enable starts it.
        if (!enabled_) return;
        startAndWriteWaitingWork();
        return;
    }
    if (waiting_.empty()) return;
    if (!waiting_.runAll(*started_)) {
        armRetry();
        return;
    }
    retryAlarm_->cancel();
    retryDelay_ = kQRVAWaitingWorkFirstRetrySeconds;
    nextRetryAt_ = 0;
    const auto [written, dropped] = waiting_.takeCounts();
    monitor()->logWithLevel(dropped ? 1 : 7, 23182, "Waiting events and user properties written. Written, dropped",
                            ns::Value(int64_t(written)), ns::Value(int64_t(dropped)));
    updateSchedule();
}

void QRVAMeasurement::armRetry() {
    nextRetryAt_ = ns::Clock::nowSeconds() + retryDelay_;
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    retryAlarm_->runAfterDelay(retryDelay_, [weak] {
        if (auto engine = weak.lock()) engine->retryWaitingWork();
    });
    retryDelay_ = std::min(retryDelay_ * 2, kQRVAWaitingWorkMaxRetrySeconds);
}

// Coming back to the app is a moment a lock taken by another program while
// this one was away has often gone.
void QRVAMeasurement::observeBecomingActive() {
    auto& center = ns::NotificationCenter::defaultCenter();
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    const void* owner = this;
    center.addObserver(ns::kUIApplicationDidBecomeActiveNotification, nullptr, nullptr,
                       [weak](const ns::Notification&) {
                           auto engine = weak.lock();
                           if (!engine) return;
                           engine->scheduler_->scheduleOnWorkerQueueBlockID("QRVAMeasurement:retryOnActive", [weak] {
                               auto engine = weak.lock();
                               if (engine && (!engine->started_ || !engine->waiting_.empty())) {
                                   engine->retryWaitingWork();
                               }
                           });
                       },
                       owner);
    becomingActiveObserver_ = std::shared_ptr<void>(nullptr, [owner](void*) {
        ns::NotificationCenter::defaultCenter().removeObservers(owner);
    });
}

void QRVAMeasurement::reachabilityDidChange() {
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("QRVAMeasurement:692", [weak] {
        if (auto engine = weak.lock()) engine->updateSchedule();
    });
}

// MARK: - Start

bool QRVAMeasurement::startMeasurementOnWorkerQueue() {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    if (!componentsInitialized_) {
        // Only the worker queue touches the flag, so a failed start can
        // simply leave it down for the next enable to run it all again.
        componentsInitialized_ = runStartSequence();
        if (!componentsInitialized_) return false;
    }
    updateSchedule();
    return true;
}

bool QRVAMeasurement::runStartSequence() {
    clearDataOfPreviousApp();
    persistedConfig_->setAppIDFromVLP(options_ ? options_->ondrixAppID() : std::nullopt);
    if (!openComponents()) return false;
    installProviders();

    ns::ErrorRef error;
    const std::string folder = std::filesystem::path(QRVAFilePathForDatabaseName(databaseName_)).parent_path();
    if (!QRVAExcludeFilePathFromBackup(folder, &error)) {
        monitor()->logWithLevel(4, 23015, "Failed to exclude directory from backup. Error", QRVAErrorContext(error));
    }
    monitor()->logWithLevel(7, 23016, "Quorvane Analytics is ready to receive events");
    monitor()->setEncodeContexts(identity_->isFromAppStore());
    error = nullptr;
    if (!database_->maybeDeleteStaleData(&error) && error) {
        monitor()->logWithLevel(4, 23018, "Unable to delete stale data. Error", QRVAErrorContext(error));
    }
    automaticEvents_->reportFirstOpenOnWorkerQueue();
    automaticEvents_->reportAppUpdateOnWorkerQueue();
    automaticEvents_->reportOSUpdateOnWorkerQueue();
    reporters_->enablePurchaseReportingOnWorkerQueue();
    reporters_->makeSessionReporterOnWorkerQueue();
    reporters_->makeSearchAdReporterOnWorkerQueue();
    lifecycle_->registerLifecycleObservers();
    return true;
}

void QRVAMeasurement::clearDataOfPreviousApp() {
    if (!options_) return;
    auto previous = QRVAIdentity::changedAppIDFromVLP(*persistedConfig_, *options_);
    if (!previous) return;
    previousVLPAppID_ = previous;
    persistedConfig_->clearValues();
    // The facade may have made the identity already, its ID among the values
    // just cleared.
    if (auto identity = QRVAIdentity::sharedInstance()) identity->reloadAfterPersistedStateCleared();
    monitor()->clearMonitoringData();
    // The store of the previous app is not open yet: it opens only below.
    ns::ErrorRef error;
    if (!QRVADeleteDatabaseFile(databaseName_, &error) && error) {
        monitor()->logWithLevel(4, 23014, "Failed to delete old database file. Error", QRVAErrorContext(error));
    }
}

// The components are made together: a start that fails part-way leaves
// none of them behind for a part to find.
bool QRVAMeasurement::openComponents() {
    auto database = QRVADatabase::initWithDatabaseName(databaseName_, persistedConfig_);
    // A second try makes a fresh file where the first one set a damaged one
    // aside; a file kept where it was (locked, not writable) would only keep
    // the worker queue waiting for it twice.
    if (!database && !ns::FileManager::defaultManager().fileExists(QRVAFilePathForDatabaseName(databaseName_))) {
        database = QRVADatabase::initWithDatabaseName(databaseName_, persistedConfig_);
    }
    if (!database) return false;
    auto identity = QRVAIdentity::sharedInstance();
    if (!identity) return false;
    auto remoteConfig = QRVARemoteConfig::initWithVLPAppID(identity->appIDFromVLP().value_or(""), database);
    auto audience = remoteConfig ? QRVAAudience::initWithDatabase(database) : nullptr;
    auto started = QRVAStartedComponents::make(database, identity, remoteConfig, audience);
    if (!started) return false;
    database_ = started->sharedDatabase();
    identity_ = started->sharedIdentity();
    remoteConfig_ = started->sharedRemoteConfig();
    audience_ = started->sharedAudience();
    started_ = std::move(started);
    {
        std::lock_guard lock(shared().mutex);
        settingsForAnyThread_ = remoteConfig_;
    }
    return true;
}

void QRVAMeasurement::installProviders() {
    // The settings live as long as the engine, which lives for the process.
    std::weak_ptr<QRVARemoteConfig> settings = remoteConfig_;
    database_->setSettingsProvider([settings] {
        QRVADatabaseSettings answer;
        if (auto config = settings.lock()) {
            answer.maxEventsStored = config->maxEventsStored();
            answer.maxQueueTime = config->maxQueueTime();
            answer.databaseDeleteStaleBundlesInterval = config->databaseDeleteStaleBundlesInterval();
        }
        return answer;
    });
    audience_->setSettingsProvider([settings] {
        QRVAAudienceSettings answer;
        if (auto config = settings.lock()) {
            answer.maxAudienceCount = config->maxAudienceCount();
            answer.maxFiltersPerAudience = config->maxFiltersPerAudience();
            answer.maxParametersPerFilter = config->maxParametersPerFilter();
            answer.maxFilterResultCount = config->maxFilterResultCount();
        }
        return answer;
    });
    // The identity classes beneath the engine answer from its identity and
    // settings (QRVAEngineBridge.h).
    QRVAEngineRecordStart(identity_, remoteConfig_);
}

// MARK: - Forwards to the parts

void QRVAMeasurement::logEvent(std::optional<QRVAEvent> event) { eventWriter_->logEvent(std::move(event)); }
// Every event the engine writes comes through these two, so none can pass a
// first open that waits for its screen (QRVAAutomaticEvents.h).
void QRVAMeasurement::handleEventOnWorkerQueue(QRVAEvent event) {
    if (automaticEvents_->isWaitingForFirstScreen()) {
        automaticEvents_->holdBehindFirstOpen(
            [this, event = std::move(event)]() mutable { eventWriter_->handleEventOnWorkerQueue(std::move(event)); });
        return;
    }
    eventWriter_->handleEventOnWorkerQueue(std::move(event));
}
void QRVAMeasurement::writeEventOnWorkerQueue(QRVAEvent event) {
    if (automaticEvents_->isWaitingForFirstScreen()) {
        automaticEvents_->holdBehindFirstOpen(
            [this, event = std::move(event)]() mutable { eventWriter_->writeEventOnWorkerQueue(std::move(event)); });
        return;
    }
    eventWriter_->writeEventOnWorkerQueue(std::move(event));
}
std::shared_ptr<QRVAPBMeasurementBundle> QRVAMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<QRVAUserAttribute>& attributes) {
    return eventWriter_->createRawEventMetadataWithUserAttributes(attributes);
}

void QRVAMeasurement::updateSchedule() { uploader_->updateSchedule(); }
double QRVAMeasurement::nextUploadingTime() { return uploader_->nextUploadingTime(); }
void QRVAMeasurement::uploadData() { uploader_->uploadData(); }
std::vector<QRVAQueuedBundle> QRVAMeasurement::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::string& resettableDeviceID, const std::string& vendorDeviceID,
    const std::vector<QRVAQueuedBundle>& bundlesToUpload) {
    return uploader_->filteredBundlesWithCompatibleAppID(appID, resettableDeviceID, vendorDeviceID, bundlesToUpload);
}
void QRVAMeasurement::uploadBundles(const std::vector<QRVAQueuedBundle>& bundles) { uploader_->uploadBundles(bundles); }
std::optional<ns::Data> QRVAMeasurement::batchPayload(const std::vector<QRVAQueuedBundle>& bundles,
                                                      int64_t uploadMillis) {
    return QRVAUploader::batchPayload(bundles, uploadMillis);
}
bool QRVAMeasurement::isNetworkRequestPending() const { return uploader_->isNetworkRequestPending(); }
const std::vector<int64_t>& QRVAMeasurement::uploadingBundleIDs() const { return uploader_->uploadingBundleIDs(); }
double QRVAMeasurement::suspendedUploadTimestamp() const { return uploader_->suspendedUploadTimestamp(); }
void QRVAMeasurement::fetchRemoteConfig() { configFetch_->fetchRemoteConfig(); }

void QRVAMeasurement::handleOpenURL(const ns::URL& url) { automaticEvents_->handleOpenURL(url, std::nullopt); }
void QRVAMeasurement::handleOpenURL(const ns::URL& url, std::optional<int64_t> clickTimestamp) {
    automaticEvents_->handleOpenURL(url, clickTimestamp);
}
std::optional<ns::URL> QRVAMeasurement::deepLinkFromUserActivity(const ns::ObjectPtr& activity) {
    return QRVAAutomaticEvents::deepLinkFromUserActivity(activity);
}
int64_t QRVAMeasurement::timestampMillisRoundedUpToNextHour(int64_t milliseconds) {
    return QRVAAutomaticEvents::timestampMillisRoundedUpToNextHour(milliseconds);
}
std::optional<ns::FileAttributes> QRVAMeasurement::fileAttributesForPath(const std::string& path) const {
    return automaticEvents_->fileAttributesForPath(path);
}
bool QRVAMeasurement::isAppUpdateWithAnalytics() { return automaticEvents_->isAppUpdateWithAnalytics(); }

uint64_t QRVAMeasurement::backgroundUpdateTask() const { return lifecycle_->backgroundUpdateTask(); }
void QRVAMeasurement::writeWaitingFirstOpenBeforeLeaving(std::function<void()> done) {
    lifecycle_->writeWaitingFirstOpenBeforeLeaving(std::move(done));
}
double QRVAMeasurement::firstOpenTimestamp() { return lifecycle_->firstOpenTimestamp(); }

void QRVAMeasurement::setMinimumSessionInterval(double seconds) { reporters_->setMinimumSessionInterval(seconds); }
void QRVAMeasurement::setSessionTimeoutInterval(double seconds) { reporters_->setSessionTimeoutInterval(seconds); }
std::shared_ptr<QRVASessionReporting> QRVAMeasurement::sessionReporter() const { return reporters_->sessionReporter(); }
std::shared_ptr<QRVASearchAdReporting> QRVAMeasurement::searchAdReporter() const {
    return reporters_->searchAdReporter();
}
void QRVAMeasurement::filterPurchaseTransactions(PaymentTransactions transactions,
                                                 std::function<void(PaymentTransactions)> callback) {
    reporters_->filterPurchaseTransactions(std::move(transactions), std::move(callback));
}
