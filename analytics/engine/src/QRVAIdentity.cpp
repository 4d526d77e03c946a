#include "analytics/QRVAIdentity.h"

#include <algorithm>
#include <climits>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAEngineBridge.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVOptions.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"
#include "platform/text.h"

namespace {

// What the platform answers when the user limited ad tracking.
constexpr const char* kZeroAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";

constexpr int64_t libraryVersionFromString(std::string_view version) {
    if (version.size() < 4) return 0;
    int64_t value = 0;
    for (char c : version.substr(0, version.size() - 3)) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    return value;
}
static_assert(libraryVersionFromString(kQRVAAnalyticsVersionString) == kQRVAAnalyticsLibraryVersion,
              "the monitor's library version and the version string must agree");

struct Shared {
    // Held while the identity is made, so every caller gets the one made.
    std::mutex makeMutex;
    bool made = false;
    std::shared_ptr<QRVAIdentity> identity;
};
Shared& shared() {
    static auto* state = new Shared();  // never destroyed: pooled work may still read it at exit
    return *state;
}


std::optional<std::string> nonEmpty(std::optional<std::string> text) {
    if (text && text->empty()) return std::nullopt;
    return text;
}

std::optional<std::string> infoString(const ns::Bundle& bundle, const char* key) {
    ns::Value value = bundle.objectForInfoDictionaryKey(key);
    if (const std::string* text = value.stringOrNull()) return *text;
    return std::nullopt;
}

// The digits as -[NSString intValue] reads them: past INT_MAX it stays there.
int32_t intValueOfDigits(std::string_view digits) {
    int64_t value = 0;
    for (char c : digits) value = std::min<int64_t>(value * 10 + (c - '0'), INT_MAX);
    return int32_t(value);
}

std::shared_ptr<QRVAMonitor> monitor() { return QRVAMeasurementMonitor(); }

}  // namespace

// MARK: - Instances

std::shared_ptr<QRVAIdentity> QRVAIdentity::sharedInstance() {
    std::shared_ptr<QRVAIdentity> identity;
    {
        // Making it logs and reads the persisted state and the options, none
        // of which comes back here. An options file that raises leaves it
        // unmade, to raise again at the next call.
        std::lock_guard lock(shared().makeMutex);
        if (!shared().made) {
            shared().identity =
                initWithPersistedConfig(QRVAPersistedConfig::sharedInstance(), QRVOptions::defaultOptions());
            shared().made = true;
        }
        identity = shared().identity;
    }
    if (!identity) monitor()->logWithLevel(1, 20003, "Identity's shared instance is nil");
    return identity;
}

void QRVAIdentity::resetSharedForTesting() {
    std::lock_guard lock(shared().makeMutex);
    shared().made = false;
    shared().identity.reset();
}

std::shared_ptr<QRVAIdentity> QRVAIdentity::initWithPersistedConfig(
    std::shared_ptr<QRVAPersistedConfig> persistedConfig, std::shared_ptr<const QRVOptions> options) {
    if (!options || !nonEmpty(options->ondrixAppID())) {
        monitor()->logWithLevel(1, 20006,
                               "Ondrix App ID from OndrixService-Info.plist is empty. Please, define ONDRIX_APP_ID in "
                               "OndrixService-Info.plist for Analytics to work reliably.");
    }
    if (!persistedConfig) {
        monitor()->logWithLevel(
            1, 20004, "Unable to create measurement identity, missing a valid persisted config instance");
        return nullptr;
    }
    return std::make_shared<QRVAIdentity>(std::move(persistedConfig), options.get());
}

QRVAIdentity::QRVAIdentity(std::shared_ptr<QRVAPersistedConfig> persistedConfig, const QRVOptions* options)
    : persistedConfig_(std::move(persistedConfig)) {
    if (options) appIDFromVLP_ = nonEmpty(options->ondrixAppID());
    auto bundle = ns::Bundle::mainBundle();
    appID_ = bundle->bundleIdentifier();
    appVersion_ = infoString(*bundle, "CFBundleShortVersionString");
    const auto fields = numericFieldsFromAppVersionNumeric(infoString(*bundle, "CFBundleVersion").value_or(""));
    if (fields.size() > 0) appVersionMajor_ = fields[0];
    if (fields.size() > 1) appVersionMinor_ = fields[1];
    if (fields.size() > 2) appVersionRelease_ = fields[2];

    hashedIDFA_ = persistedConfig_->hashedIDFA();
    // An empty stored ID would put an empty ID into every bundle: it counts
    // as none.
    if (auto stored = nonEmpty(persistedConfig_->appInstanceID())) {
        appInstanceID_ = *stored;
    } else {
        appInstanceID_ = randomAppInstanceID();
        // A state that could not be read may hold the installation's ID:
        // this run's is not stored over it.
        if (!persistedConfig_->readError()) persistedConfig_->setAppInstanceID(appInstanceID_);
    }
    // The advertising wrapper looks the platform's manager up once; do it
    // before the first refresh needs it.
    QRVAASIdentifierManager::sharedInstance();
}

// MARK: - Version numbers

int64_t QRVAIdentity::quorvaneAnalyticsLibraryVersion() {
    return libraryVersionFromString(kQRVAAnalyticsVersionString);
}

std::vector<int32_t> QRVAIdentity::numericFieldsFromAppVersionNumeric(std::string_view version) {
    std::vector<int32_t> fields;
    size_t start = 0;
    while (start <= version.size()) {
        size_t end = version.find('.', start);
        if (end == std::string_view::npos) end = version.size();
        std::string_view piece = version.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        std::string digits;
        std::copy_if(piece.begin(), piece.end(), std::back_inserter(digits),
                     [](char c) { return c >= '0' && c <= '9'; });
        if (digits.size() != piece.size()) {
            monitor()->logWithLevel(5, 20002, "app version numeric has non-numeric characters");
        }
        fields.push_back(intValueOfDigits(digits));
    }
    return fields;
}

std::string QRVAIdentity::randomAppInstanceID() {
    std::string uuid = ns::newUUIDString();
    std::erase(uuid, '-');
    return uuid;
}

// MARK: - Advertising identifiers

void QRVAIdentity::updateIdentifiers() {
    const double now = ns::Clock::nowSeconds();
    // How long advertising fields read from the platform stay fresh: the
    // remote settings sit above the identity, so the engine bridge answers.
    const double cacheTime = QRVAEngineAdIDCacheTime();
    {
        std::lock_guard lock(mutex_);
        // A last run in the future means the clock was set back: read again.
        if (lastAppInstanceIDUpdateTimestamp_ && *lastAppInstanceIDUpdateTimestamp_ <= now &&
            now - *lastAppInstanceIDUpdateTimestamp_ < cacheTime) {
            return;
        }
    }
    std::optional<std::string> appInstanceID = nonEmpty(persistedConfig_->appInstanceID());
    const std::optional<std::string> persistedHash = persistedConfig_->hashedIDFA();
    auto manager = QRVAASIdentifierManager::sharedInstance();
    const bool limitedAdTracking = manager->limitedAdTracking();
    const std::optional<std::string> advertisingID = manager->advertisingIdentifierString();

    std::optional<std::string> resettableDeviceID;
    std::optional<std::string> hash;
    bool changed = false;
    if (advertisingID && !advertisingID->empty() && *advertisingID != kZeroAdvertisingIdentifier) {
        resettableDeviceID = advertisingID;
        hash = qrva_MD5String(*advertisingID);
        if (hash && hash != persistedHash) {
            // The first identifier seen keeps the installation's ID; a
            // different one later means a new advertising identity. Stored
            // state cleared meanwhile (another app ID) leaves no ID to keep.
            if (persistedHash || !appInstanceID) appInstanceID = randomAppInstanceID();
            changed = true;
        }
    }
    // An ID the persisted state no longer holds would be carried by events
    // that the next launch, making a new one, cannot tie to it.
    if (!appInstanceID) {
        appInstanceID = randomAppInstanceID();
        if (!changed) hash = persistedHash;
        changed = true;
    }

    std::lock_guard lock(mutex_);
    // A state that could not be read may hold the installation's identity:
    // this run keeps the ID it has, and nothing is stored over that state.
    if (changed && persistedConfig_->readError()) {
        changed = false;
        monitor()->logWithLevel(4, 20007, "The stored identity could not be read; this run keeps its own. Error",
                                QRVAErrorContext(persistedConfig_->readError()));
    }
    if (changed) {
        persistedConfig_->setAppInstanceID(appInstanceID);
        persistedConfig_->setHashedIDFA(hash);
        appInstanceID_ = *appInstanceID;
        hashedIDFA_ = hash;
    }
    lastAppInstanceIDUpdateTimestamp_ = now;
    limitedAdTracking_ = limitedAdTracking;
    if (resettableDeviceID) resettableDeviceID_ = resettableDeviceID;
}

void QRVAIdentity::reloadAfterPersistedStateCleared() {
    {
        std::lock_guard lock(mutex_);
        lastAppInstanceIDUpdateTimestamp_.reset();
    }
    updateIdentifiers();
}

std::string QRVAIdentity::appInstanceID() {
    updateIdentifiers();
    std::lock_guard lock(mutex_);
    return appInstanceID_;
}

std::optional<std::string> QRVAIdentity::resettableDeviceID() {
    updateIdentifiers();
    std::lock_guard lock(mutex_);
    return resettableDeviceID_;
}

bool QRVAIdentity::limitedAdTracking() {
    updateIdentifiers();
    std::lock_guard lock(mutex_);
    return limitedAdTracking_;
}

std::optional<std::string> QRVAIdentity::hashedIDFA() {
    updateIdentifiers();
    std::lock_guard lock(mutex_);
    return hashedIDFA_;
}

bool QRVAIdentity::hasLimitedAdTracking() {
    updateIdentifiers();
    return QRVAASIdentifierManager::sharedInstance()->hasLimitedAdTracking();
}

std::optional<std::string> QRVAIdentity::identifierForVendor() {
    if (nonEmpty(resettableDeviceID())) return std::nullopt;
    {
        std::lock_guard lock(mutex_);
        if (identifierForVendorRead_) return identifierForVendorString_;
    }
    // The device is asked on the main thread, as UIKit wants.
    std::string vendorID;
    auto read = [&vendorID] { vendorID = ns::Sandbox::current()->deviceProfile().identifierForVendor; };
    if (ns::RunLoop::isMainThread()) {
        read();
    } else {
        ns::DispatchQueue::main()->sync(read);
    }
    std::lock_guard lock(mutex_);
    if (!identifierForVendorRead_) {
        identifierForVendorRead_ = true;
        identifierForVendorString_ = nonEmpty(vendorID);
    }
    return identifierForVendorString_;
}

bool QRVAIdentity::isFromAppStore() const { return QRVAAEU::isFAS(); }

// MARK: - App IDs

std::optional<std::string> QRVAIdentity::appIDFromVLP() const {
    std::lock_guard lock(mutex_);
    return appIDFromVLP_;
}

void QRVAIdentity::setAppIDFromVLP(const std::string& appID) {
    if (appID.empty()) {
        monitor()->logWithLevel(1, 20005, "Cannot set empty Ondrix App ID");
        return;
    }
    std::lock_guard lock(mutex_);
    if (appIDFromVLPWasSet_) return;
    appIDFromVLPWasSet_ = true;
    appIDFromVLP_ = appID;
}

std::optional<std::string> QRVAIdentity::changedAppIDFromVLP(QRVAPersistedConfig& persistedConfig,
                                                             const QRVOptions& options) {
    auto stored = nonEmpty(persistedConfig.appIDFromVLP());
    auto configured = nonEmpty(options.ondrixAppID());
    if (!stored || !configured || *stored == *configured) return std::nullopt;
    return stored;
}

std::optional<std::string> QRVAIdentity::quorvaneInstanceID() const {
    ns::Value answer;
    ns::Class* instanceIDClass = ns::Runtime::lookUpClass("QRVInstanceID");
    if (instanceIDClass && instanceIDClass->classRespondsTo("instanceID") &&
        instanceIDClass->instanceRespondsTo("appInstanceID:")) {
        ns::Value instanceID = ns::Runtime::sendClass("QRVInstanceID", "instanceID");
        // By name there is no error slot: instance identity answers the
        // identifier, or the error it could not get it with.
        if (instanceID.isObject()) answer = ns::Runtime::send(*instanceID.asObject(), "appInstanceID:");
    }
    if (const std::string* identifier = answer.stringOrNull(); identifier && !identifier->empty()) return *identifier;
    // Without instance identity in the program the bundles go without its
    // ID; that is worth the same warning as its failure.
    monitor()->logWithLevel(4, 20001, "Failed to get InstanceID", QRVAErrorContext(answer.asObjectOf<ns::Error>()));
    return std::nullopt;
}
