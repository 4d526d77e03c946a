#include "analytics/QRVAPersistedConfig.h"

#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAUtilities.h"
#include "platform/crypto.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"

namespace {

constexpr const char* kQueueLabel = "QRVAPersistedConfig";
// Writes within this many seconds of each other reach the disk together.
constexpr double kSynchronizeDelaySeconds = 1.0;
constexpr uint32_t kMillisecondsPerDay = 86'400'000;

std::mutex& sharedMutex() {
    static auto* mutex = new std::mutex();  // never destroyed: pooled work may still read it at exit
    return *mutex;
}
std::shared_ptr<QRVAPersistedConfig>& sharedSlot() {
    static auto* slot = new std::shared_ptr<QRVAPersistedConfig>();
    return *slot;
}

int64_t int64Of(const ns::Value& value) { return value.isNumber() || value.isBool() ? value.intValue() : 0; }

}  // namespace

// MARK: - Instances

std::shared_ptr<QRVAPersistedConfig> QRVAPersistedConfig::sharedInstance() {
    std::shared_ptr<QRVAPersistedConfig> shared;
    {
        std::lock_guard lock(sharedMutex());
        if (!sharedSlot()) sharedSlot() = initWithSuiteName(kQRVAPersistedConfigName);
        shared = sharedSlot();
    }
    if (!shared) QRVAMeasurementMonitor()->logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
    return shared;
}

void QRVAPersistedConfig::resetSharedForTesting() {
    std::lock_guard lock(sharedMutex());
    sharedSlot().reset();
}

std::shared_ptr<QRVAPersistedConfig> QRVAPersistedConfig::initWithSuiteName(const std::string& name) {
    if (name.empty()) return nullptr;
    return std::make_shared<QRVAPersistedConfig>(name);
}

QRVAPersistedConfig::QRVAPersistedConfig(const std::string& name)
    : name_(name),
      userDefaults_(ns::UserDefaults::suite(name)),
      serialQueue_(ns::DispatchQueue::serial(kQueueLabel)) {}

void QRVAPersistedConfig::clearValues() {
    serialQueue_->sync([this] { userDefaults_->removePersistentDomain(); });
}

ns::ErrorRef QRVAPersistedConfig::readError() { return userDefaults_->readError(); }

// MARK: - Typed access

int64_t QRVAPersistedConfig::int64ForKey(const std::string& key, ns::UserDefaults& userDefaults) {
    int64_t value = 0;
    serialQueue_->sync([&] { value = int64Of(userDefaults.objectForKey(key)); });
    return value;
}

int64_t QRVAPersistedConfig::int64ForKey(const std::string& key) { return int64ForKey(key, *userDefaults_); }

double QRVAPersistedConfig::doubleForKey(const std::string& key) {
    double value = 0;
    serialQueue_->sync([&] { value = userDefaults_->doubleForKey(key); });
    return value;
}

std::optional<std::string> QRVAPersistedConfig::stringForKey(const std::string& key) {
    std::optional<std::string> value;
    serialQueue_->sync([&] { value = userDefaults_->stringForKey(key); });
    return value;
}

void QRVAPersistedConfig::setInt64(int64_t value, const std::string& key) {
    serialQueue_->sync([&] { setValueOnQueue(ns::Value(value), key, true); });
}

void QRVAPersistedConfig::setDouble(double value, const std::string& key) {
    serialQueue_->sync([&] { setValueOnQueue(ns::Value(value), key, true); });
}

void QRVAPersistedConfig::setString(const std::optional<std::string>& value, const std::string& key) {
    serialQueue_->sync([&] { setValueOnQueue(value ? ns::Value(*value) : ns::Value(), key, true); });
}

void QRVAPersistedConfig::setValueOnQueue(const ns::Value& value, const std::string& key, bool scheduleSynchronize) {
    ns::dispatchAssertQueue(serialQueue_);
    userDefaults_->setObject(value, key);
    if (scheduleSynchronize) scheduleSynchronizeToDiskOnQueue();
}

// MARK: - Synchronisation

void QRVAPersistedConfig::scheduleSynchronizeToDisk() {
    serialQueue_->sync([this] { scheduleSynchronizeToDiskOnQueue(); });
}

// The delayed synchronisation is timed on the state's own queue, not on the
// writer's run loop: worker threads run none, and their writes would
// otherwise never be synchronised.
void QRVAPersistedConfig::scheduleSynchronizeToDiskOnQueue() {
    ns::dispatchAssertQueue(serialQueue_);
    uint64_t generation = ++synchronizeGeneration_;
    serialQueue_->after(kSynchronizeDelaySeconds, [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (self && self->synchronizeGeneration_ == generation) self->synchronizeToDiskOnQueue();
    });
}

void QRVAPersistedConfig::synchronizeToDisk() {
    serialQueue_->sync([this] { synchronizeToDiskOnQueue(); });
}

void QRVAPersistedConfig::synchronizeToDiskOnQueue() {
    ns::dispatchAssertQueue(serialQueue_);
    // A synchronisation now makes any pending one unnecessary.
    ++synchronizeGeneration_;
    userDefaults_->synchronize();
    ++synchronizations_;
    std::call_once(excludeBackupOnce_, [this] {
        ns::ErrorRef error;
        if (!QRVAExcludeFilePathFromBackup(QRVAFilePathForPreferencesName(name_), &error)) {
            QRVAMeasurementMonitor()->logWithLevel(4, 27000, "Failed to exclude preferences file from backup",
                                                   QRVAErrorContext(error));
        }
    });
}

// MARK: - Values with their own rules

ns::Value QRVAPersistedConfig::searchAdCampaignValue() {
    ns::Value value = userDefaults_->objectForKey(kQRVAPersistedConfigSearchAdCampaignValueKey);
    return value.isNumber() || value.isBool() ? value : ns::Value();
}

void QRVAPersistedConfig::setSearchAdCampaignValue(const ns::Value& value) {
    if (!value.isNumber() && !value.isBool()) return;
    userDefaults_->setObject(value, kQRVAPersistedConfigSearchAdCampaignValueKey);
}

int64_t QRVAPersistedConfig::measurementEnabledState() {
    return int64ForKey(kQRVAPersistedConfigMeasurementEnabledStateKey, *ns::UserDefaults::standard());
}

double QRVAPersistedConfig::midnightOffset() {
    double offset = 0;
    serialQueue_->sync([&] {
        ns::Value stored = userDefaults_->objectForKey(kQRVAPersistedConfigMidnightOffsetKey);
        if (stored.isNumber()) {
            offset = stored.asDouble();
            return;
        }
        offset = ns::crypto::uniformRandom(kMillisecondsPerDay) / 1000.0;
        setValueOnQueue(ns::Value(offset), kQRVAPersistedConfigMidnightOffsetKey, true);
    });
    return offset;
}

std::optional<std::string> QRVAPersistedConfig::configServerLastModifiedString() {
    ns::Value stored;
    serialQueue_->sync([&] { stored = userDefaults_->objectForKey(kQRVAPersistedConfigConfigServerLastModifiedStringKey); });
    if (!stored.isString()) return std::nullopt;
    return stored.asString();
}

void QRVAPersistedConfig::setConfigServerLastModifiedString(const std::optional<std::string>& value) {
    setString(value, kQRVAPersistedConfigConfigServerLastModifiedStringKey);
}

bool QRVAPersistedConfig::startNewSession() {
    bool value = false;
    serialQueue_->sync([&] { value = userDefaults_->boolForKey(kQRVAPersistedConfigStartNewSessionKey); });
    return value;
}

void QRVAPersistedConfig::setStartNewSession(bool value) {
    serialQueue_->sync([&] { setValueOnQueue(ns::Value(value), kQRVAPersistedConfigStartNewSessionKey, false); });
}

// MARK: - Plain properties

#define QRVA_DOUBLE_PROPERTY(getter, setter, key)                                   \
    double QRVAPersistedConfig::getter() { return doubleForKey(key); }              \
    void QRVAPersistedConfig::setter(double seconds) { setDouble(seconds, key); }
#define QRVA_STRING_PROPERTY(getter, setter, key)                                    \
    std::optional<std::string> QRVAPersistedConfig::getter() { return stringForKey(key); } \
    void QRVAPersistedConfig::setter(const std::optional<std::string>& value) { setString(value, key); }
#define QRVA_INT64_PROPERTY(getter, setter, key)                                    \
    int64_t QRVAPersistedConfig::getter() { return int64ForKey(key); }              \
    void QRVAPersistedConfig::setter(int64_t value) { setInt64(value, key); }

QRVA_DOUBLE_PROPERTY(lastDeleteStaleBundlesTimestamp, setLastDeleteStaleBundlesTimestamp,
                     kQRVAPersistedConfigLastDeleteStaleBundlesTimestampKey)
QRVA_DOUBLE_PROPERTY(lastSearchAdLookUpTimestamp, setLastSearchAdLookUpTimestamp,
                     kQRVAPersistedConfigLastSearchAdLookUpTimestampKey)
QRVA_INT64_PROPERTY(searchAdRetryCount, setSearchAdRetryCount, kQRVAPersistedConfigSearchAdRetryCountKey)
std::optional<std::string> QRVAPersistedConfig::appInstanceID() { return stringForKey(kQRVAPersistedConfigAppInstanceIDKey); }
void QRVAPersistedConfig::setAppInstanceID(const std::optional<std::string>& value) {
    serialQueue_->sync([&] {
        setValueOnQueue(value ? ns::Value(*value) : ns::Value(), kQRVAPersistedConfigAppInstanceIDKey, false);
        synchronizeToDiskOnQueue();
    });
}
QRVA_STRING_PROPERTY(appIDFromVLP, setAppIDFromVLP, kQRVAPersistedConfigAppIDFromVLPKey)
QRVA_STRING_PROPERTY(hashedIDFA, setHashedIDFA, kQRVAPersistedConfigHashedIDFAKey)
QRVA_DOUBLE_PROPERTY(lastBackoffTimestamp, setLastBackoffTimestamp, kQRVAPersistedConfigLastBackoffTimestampKey)
QRVA_DOUBLE_PROPERTY(lastSuccessfulUploadTimestamp, setLastSuccessfulUploadTimestamp,
                     kQRVAPersistedConfigLastSuccessfulUploadTimestampKey)
QRVA_DOUBLE_PROPERTY(lastFailedUploadTimestamp, setLastFailedUploadTimestamp,
                     kQRVAPersistedConfigLastFailedUploadTimestampKey)
QRVA_STRING_PROPERTY(appVersion, setAppVersion, kQRVAPersistedConfigAppVersionKey)
QRVA_STRING_PROPERTY(osVersion, setOSVersion, kQRVAPersistedConfigOSVersionKey)
QRVA_DOUBLE_PROPERTY(lastMonitorDataSampledTimestamp, setLastMonitorDataSampledTimestamp,
                     kQRVAPersistedConfigLastMonitorDataSampledTimestampKey)
QRVA_INT64_PROPERTY(firstOpenTimestampMilliseconds, setFirstOpenTimestampMilliseconds,
                    kQRVAPersistedConfigFirstOpenTimestampMillisecondsKey)
QRVA_INT64_PROPERTY(firstOpenCountToStore, setFirstOpenCountToStore, kQRVAPersistedConfigFirstOpenCountToStoreKey)
QRVA_DOUBLE_PROPERTY(lastEngagementCheckpointClockTime, setLastEngagementCheckpointClockTime,
                     kQRVAPersistedConfigLastEngagementCheckpointClockTimeKey)
QRVA_DOUBLE_PROPERTY(engagementTimeBeforeSessionStart, setEngagementTimeBeforeSessionStart,
                     kQRVAPersistedConfigEngagementTimeBeforeSessionStartKey)
