#include "instanceid/QRVInstanceIDCheckin.h"

#include <charconv>
#include <mutex>
#include <nlohmann/json.hpp>

#include "instanceid/QRVInstanceIDTokenManager.h"
#include "instanceid/QRVInstanceIDUtilities.h"
#include "platform/crypto.h"
#include "platform/dispatch.h"
#include "platform/sandbox.h"

using json = nlohmann::json;

namespace {

int64_t parseInt64(const std::string& text) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() ? value : 0;
}

// A JSON integer as its exact decimal text; "" for anything else.
std::string integerText(const json& value) {
    if (value.is_number_unsigned()) return std::to_string(value.get<uint64_t>());
    if (value.is_number_integer()) return std::to_string(value.get<int64_t>());
    return "";
}

std::string stringMember(const json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

struct TestBlockHolder {
    std::mutex mutex;
    QRVInstanceIDCheckinService::TestBlock block;
};

TestBlockHolder& testBlock() {
    static TestBlockHolder* holder = new TestBlockHolder();
    return *holder;
}

}  // namespace

// MARK: - Preferences

QRVInstanceIDCheckinPreferences::QRVInstanceIDCheckinPreferences(std::string deviceID, std::string secretToken)
    : deviceID_(std::move(deviceID)), secretToken_(std::move(secretToken)) {}

QRVInstanceIDCheckinPreferencesPtr QRVInstanceIDCheckinPreferences::preferencesFromKeychainContents(
    const std::string& contents) {
    const size_t bar = contents.find('|');
    if (bar == std::string::npos || contents.find('|', bar + 1) != std::string::npos) return nullptr;
    std::string deviceID = contents.substr(0, bar), secret = contents.substr(bar + 1);
    if (deviceID.empty() || secret.empty()) return nullptr;
    return std::make_shared<QRVInstanceIDCheckinPreferences>(deviceID, secret);
}

std::string QRVInstanceIDCheckinPreferences::checkinDeviceIDFromKeychainContent(const std::string& contents) {
    const size_t bar = contents.find('|');
    return bar == std::string::npos ? std::string() : contents.substr(0, bar);
}

std::string QRVInstanceIDCheckinPreferences::checkinSecretFromKeychainContent(const std::string& contents) {
    const size_t bar = contents.find('|');
    if (bar == std::string::npos) return "";
    const size_t end = contents.find('|', bar + 1);
    return contents.substr(bar + 1, end == std::string::npos ? std::string::npos : end - bar - 1);
}

std::optional<std::string> QRVInstanceIDCheckinPreferences::checkinKeychainContent() const {
    if (deviceID_.empty() || secretToken_.empty()) return std::nullopt;
    return deviceID_ + "|" + secretToken_;
}

ns::Dictionary QRVInstanceIDCheckinPreferences::checkinPlistContents() const {
    return ns::Dictionary{{kQRVInstanceIDDigestStringKey, digest},
                          {kQRVInstanceIDVersionInfoStringKey, versionInfo},
                          {kQRVInstanceIDDeviceDataVersionKey, deviceDataVersion},
                          {kQRVInstanceIDLastCheckinTimeKey, int64_t(lastCheckinTimestampMillis)},
                          {kQRVInstanceIDOServicesDictionaryKey, oServicesData}};
}

void QRVInstanceIDCheckinPreferences::updateWithCheckinPlistContents(const ns::Dictionary& contents) {
    for (const auto& [key, value] : contents) {
        if (key == kQRVInstanceIDDigestStringKey && value.isString()) {
            digest = value.asString();
        } else if (key == kQRVInstanceIDVersionInfoStringKey && value.isString()) {
            versionInfo = value.asString();
        } else if (key == kQRVInstanceIDDeviceDataVersionKey && value.isString()) {
            deviceDataVersion = value.asString();
        } else if (key == kQRVInstanceIDLastCheckinTimeKey && value.isNumber()) {
            lastCheckinTimestampMillis = value.intValue();
        } else if (key == kQRVInstanceIDOServicesDictionaryKey && value.isDictionary()) {
            oServicesData = value.asDictionary();
        }
    }
}

void QRVInstanceIDCheckinPreferences::reset() {
    deviceID_.clear();
    secretToken_.clear();
    digest.clear();
    versionInfo.clear();
    deviceDataVersion.clear();
    oServicesData.clear();
    lastCheckinTimestampMillis = 0;
}

bool QRVInstanceIDCheckinPreferences::hasValidCheckinInfo() const {
    const int64_t now = QRVInstanceIDCurrentTimestampInMilliseconds();
    return !deviceID_.empty() && !secretToken_.empty() &&
           now - lastCheckinTimestampMillis < kQRVInstanceIDCheckinValidityMillis;
}

// MARK: - Store

QRVInstanceIDCheckinStore::QRVInstanceIDCheckinStore(const std::string& checkinPlistFileName,
                                                     const std::string& applicationSupportSubDirectory)
    : QRVInstanceIDCheckinStore(
          std::make_shared<QRVInstanceIDBackupExcludedPlist>(checkinPlistFileName, applicationSupportSubDirectory),
          std::make_shared<QRVInstanceIDAuthKeychain>(kQRVInstanceIDCheckinKeychainGeneric)) {}

QRVInstanceIDCheckinStore::QRVInstanceIDCheckinStore(std::shared_ptr<QRVInstanceIDBackupExcludedPlist> plist,
                                                     std::shared_ptr<QRVInstanceIDAuthKeychain> keychain)
    : plist_(std::move(plist)), keychain_(std::move(keychain)) {}

bool QRVInstanceIDCheckinStore::saveCheckinPreferences(const QRVInstanceIDCheckinPreferences& preferences,
                                                       ns::ErrorRef* error) {
    const auto keychainContent = preferences.checkinKeychainContent();
    if (!keychainContent) {
        QRVInstanceIDLoggerDebug(8000, "Failed to get checkin keychain content from memory.");
        return false;
    }
    const ns::Dictionary plistContents = preferences.checkinPlistContents();
    // The credentials reach the keychain before the property list: the
    // list's check-in time is what makes them count as valid, and alone it
    // reads as no record. A process ended between the two leaves the new
    // credentials with the list of the check-in before (no longer valid, or
    // there would have been no check-in) or with none: either way the next
    // launch checks in again with them, and never trusts credentials the
    // list was not written for. (The library version, which decides whether
    // a missing list means a reinstall, is stored before both.)
    if (!preferences.hasPreCachedAuthCredentials) {
        ns::ErrorRef keychainError;
        if (!keychain_->setPassword(*keychainContent, kQRVInstanceIDCheckinKeychainService, "",
                                    kQRVInstanceIDCheckinKeychainAccount, keychain_->defaultAccessGroup(),
                                    &keychainError)) {
            QRVInstanceIDLoggerDebug(8002, "Failed to save checkin auth credentials to Keychain %@", keychainError);
            if (error) *error = keychainError;
            return false;
        }
    }
    if (plist_->writeDictionary(plistContents, error)) return true;
    QRVInstanceIDLoggerDebug(8003, "Failed to save checkin plist contents.Will delete auth credentials");
    ns::ErrorRef removeError;
    if (!keychain_->removePasswordForService(kQRVInstanceIDCheckinKeychainService, kQRVInstanceIDCheckinKeychainAccount,
                                             keychain_->defaultAccessGroup(), &removeError)) {
        QRVInstanceIDLoggerDebug(8004, "Failed to remove checkin auth credentials from Keychain %@.", removeError);
    }
    return false;
}

QRVInstanceIDCheckinPreferencesPtr QRVInstanceIDCheckinStore::cachedCheckinPreferences() {
    ns::ErrorRef error;
    auto content = keychain_->passwordForService(kQRVInstanceIDCheckinKeychainService,
                                                 kQRVInstanceIDCheckinKeychainAccount, keychain_->defaultAccessGroup(),
                                                 &error);
    if (error) {
        if (error->code() != ns::errSecItemNotFound) {
            QRVInstanceIDLoggerError(8006, "Failed to read checkin auth credentials from keychain %@", error);
        }
        return nullptr;
    }
    QRVInstanceIDCheckinPreferencesPtr preferences =
        content ? QRVInstanceIDCheckinPreferences::preferencesFromKeychainContents(*content) : nullptr;
    const ns::Dictionary plist = plist_->contentAsDictionary().value_or(ns::Dictionary{});
    auto legacy = [&](const char* key) {
        auto it = plist.find(key);
        return it != plist.end() && it->second.isString() ? it->second.asString() : std::string();
    };
    const std::string legacyDeviceID = legacy(kQRVInstanceIDDeviceAuthIdKey);
    const std::string legacySecret = legacy(kQRVInstanceIDSecretTokenKey);
    if (preferences) {
        if (plist.size() == 6 && !legacyDeviceID.empty() && !legacySecret.empty()) {
            preferences = std::make_shared<QRVInstanceIDCheckinPreferences>(legacyDeviceID, legacySecret);
        }
    } else if (!legacyDeviceID.empty() && !legacySecret.empty()) {
        preferences = std::make_shared<QRVInstanceIDCheckinPreferences>(legacyDeviceID, legacySecret);
    } else {
        return nullptr;
    }
    preferences->updateWithCheckinPlistContents(plist);
    return preferences;
}

bool QRVInstanceIDCheckinStore::removeCheckinPreferencesWithError(ns::ErrorRef* error) {
    ns::ErrorRef keychainError;
    if (!keychain_->removePasswordForService(kQRVInstanceIDCheckinKeychainService, kQRVInstanceIDCheckinKeychainAccount,
                                             keychain_->defaultAccessGroup(), &keychainError)) {
        if (error) {
            QRVInstanceIDLoggerError(8005, "Failed to remove checkin auth credentials from Keychain %@", keychainError);
            *error = keychainError;
        }
        return false;
    }
    return plist_->deleteFile(error);
}

// MARK: - Check-in exchange

QRVInstanceIDCheckinService::QRVInstanceIDCheckinService(std::weak_ptr<QRVInstanceIDCheckinCache> checkinCache)
    : checkinCache_(std::move(checkinCache)) {
    if (auto cache = checkinCache_.lock()) checkinPreferences_ = cache->cachedCheckinPreferences();
}

QRVInstanceIDCheckinService::~QRVInstanceIDCheckinService() {
    setCheckinTestBlock(nullptr);
    if (session_) session_->invalidateAndCancel();
}

void QRVInstanceIDCheckinService::setCheckinTestBlock(TestBlock block) {
    std::lock_guard lock(testBlock().mutex);
    testBlock().block = std::move(block);
}

std::string QRVInstanceIDCheckinService::checkinParameters() const {
    const auto& held = checkinPreferences_;
    json body{
        {"checkin",
         {{"iosbuild",
           {{"model", QRVInstanceIDDeviceModelVersion().value_or("")},
            {"os_version", "IOS_" + QRVInstanceIDOperatingSystemVersion()}}},
          {"type", 2},
          {"user_number", 0},
          {"last_checkin_msec", held ? held->lastCheckinTimestampMillis : int64_t(0)}}},
        {"fragment", 0},
        {"logging_id", ns::crypto::random32()},
        {"locale", QRVInstanceIDCurrentLocale()},
        {"version", 2},
        {"digest", held ? held->digest : std::string()},
        {"timezone", ns::Sandbox::current()->deviceProfile().timeZone},
        {"user_serial_number", 0},
        {"id", held ? parseInt64(held->deviceID()) : int64_t(0)},
        {"security_token", held ? parseInt64(held->secretToken()) : int64_t(0)},
    };
    std::string text = body.dump();
    QRVInstanceIDLoggerDebug(7006, "Checkin parameters: %@", text);
    return text;
}

bool QRVInstanceIDCheckinService::hasCachedDeviceID(const std::string& deviceID, const std::string& secret) const {
    return checkinPreferences_ && !deviceID.empty() && !secret.empty() &&
           checkinPreferences_->deviceID() == deviceID && checkinPreferences_->secretToken() == secret;
}

void QRVInstanceIDCheckinService::checkinWithCompletion(Completion completion) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::URLSessionConfiguration configuration = ns::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForResource = 60;
    configuration.delegateQueue = ns::DispatchQueue::main();
    if (session_) session_->finishTasksAndInvalidate();
    session_ = ns::URLSession::make(configuration);

    ns::URLRequest request(QRVInstanceIDCheckinServer());
    request.setHTTPMethod("POST");
    request.setValue("application/json", "content-type");
    request.setHTTPBody(checkinParameters());

    std::weak_ptr<QRVInstanceIDCheckinService> weakSelf = weak_from_this();
    ns::DataTaskCompletion respond = [weakSelf, completion](ns::HTTPURLResponsePtr, ns::Data data, ns::ErrorRef error) {
        auto self = weakSelf.lock();
        if (!self) return completion(nullptr, errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeUnknown));
        self->handleResponse(data, error, completion);
    };
    TestBlock interceptor;
    {
        std::lock_guard lock(testBlock().mutex);
        interceptor = testBlock().block;
    }
    if (interceptor) {
        QRVInstanceIDLoggerDebug(7005, "Test block set, will not hit the server");
        interceptor(request, respond);
        return;
    }
    session_->dataTask(request, respond)->resume();
}

void QRVInstanceIDCheckinService::stopFetching() {
    if (session_) session_->invalidateAndCancel();
    session_.reset();
}

QRVInstanceIDCheckinPreferencesPtr QRVInstanceIDCheckinService::preferencesFromResponseBody(const ns::Data& body,
                                                                                           ns::ErrorRef* error) const {
    json reply = json::parse(body.begin(), body.end(), nullptr, false);
    if (reply.is_discarded()) {
        QRVInstanceIDLoggerDebug(7001, "Error serializing json object. Error Code: %ld", 3840L);
        *error = ns::Error::make(ns::kCocoaErrorDomain, 3840, "The reply is not JSON.");
        return nullptr;
    }
    // A reply that is not an object, or ids that are not integers, count as
    // a reply without a device id.
    const std::string deviceID = reply.is_object() && reply.contains("verdos_id") ? integerText(reply["verdos_id"]) : "";
    const std::string secret =
        reply.is_object() && reply.contains("security_token") ? integerText(reply["security_token"]) : "";
    if (deviceID.empty() || secret.empty()) {
        *error = errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeInvalidReply);
        return nullptr;
    }
    const int64_t now = QRVInstanceIDCurrentTimestampInMilliseconds();
    int64_t checkinTime = reply.contains("time_msec") && reply["time_msec"].is_number_integer()
                              ? reply["time_msec"].get<int64_t>()
                              : 0;
    if (checkinTime > now) {
        QRVInstanceIDLoggerDebug(7002, "Invalid last checkin timestamp in future.");
        checkinTime = now;
    }
    const std::string deviceDataVersion = stringMember(reply, "device_data_version_info");
    const std::string digest = stringMember(reply, "digest");
    const std::string versionInfo = stringMember(reply, "version_info");
    QRVInstanceIDLoggerDebug(7003, "Checkin successful with authId: %@, digest: %@, lastCheckinTimestamp: %lld",
                             deviceID, digest, static_cast<long long>(checkinTime));
    ns::Dictionary services;
    if (auto settings = reply.find("setting"); settings != reply.end() && settings->is_array()) {
        for (const json& entry : *settings) {
            if (entry.is_object() && entry.contains("name") && entry.contains("value") && entry["name"].is_string() &&
                entry["value"].is_string()) {
                services[entry["name"].get<std::string>()] = entry["value"].get<std::string>();
            }
        }
    }
    auto preferences = std::make_shared<QRVInstanceIDCheckinPreferences>(deviceID, secret);
    preferences->updateWithCheckinPlistContents({{kQRVInstanceIDDigestStringKey, digest},
                                                 {kQRVInstanceIDVersionInfoStringKey, versionInfo},
                                                 {kQRVInstanceIDDeviceDataVersionKey, deviceDataVersion},
                                                 {kQRVInstanceIDLastCheckinTimeKey, checkinTime},
                                                 {kQRVInstanceIDOServicesDictionaryKey, services}});
    return preferences;
}

void QRVInstanceIDCheckinService::handleResponse(const ns::Data& body, ns::ErrorRef transportError,
                                                 const Completion& completion) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (transportError) {
        QRVInstanceIDLoggerDebug(7000, "Device checkin HTTP fetch error. Error Code: %ld", transportError->code());
        return completion(nullptr, transportError);
    }
    ns::ErrorRef error;
    QRVInstanceIDCheckinPreferencesPtr preferences = preferencesFromResponseBody(body, &error);
    if (!preferences) return completion(nullptr, error);
    const bool alreadyHeld = hasCachedDeviceID(preferences->deviceID(), preferences->secretToken());
    preferences->hasPreCachedAuthCredentials = alreadyHeld;
    checkinPreferences_ = preferences;
    ns::ErrorRef saveError;
    auto cache = checkinCache_.lock();
    if (cache && cache->saveCheckinPreferences(*preferences, &saveError)) return completion(preferences, nullptr);
    if (alreadyHeld) {
        // The credentials were stored before; the record stays usable in memory.
        return completion(preferences, nullptr);
    }
    QRVInstanceIDLoggerError(7004, "Unable to save checkin info, resetting checkin preferences in memory.");
    checkinPreferences_->reset();
    ns::Dictionary userInfo;
    if (saveError) userInfo[ns::kUnderlyingErrorKey] = ns::Value(std::const_pointer_cast<ns::Error>(saveError));
    completion(nullptr, errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeMissingDevice, std::move(userInfo)));
}

// MARK: - Auth service

QRVInstanceIDAuthService::QRVInstanceIDAuthService(std::shared_ptr<QRVInstanceIDStore> store)
    : QRVInstanceIDAuthService(std::make_shared<QRVInstanceIDCheckinService>(store), store) {}

QRVInstanceIDAuthService::QRVInstanceIDAuthService(std::shared_ptr<QRVInstanceIDCheckinService> checkinService,
                                                   std::shared_ptr<QRVInstanceIDStore> store)
    : checkinService_(std::move(checkinService)), store_(std::move(store)) {}

bool QRVInstanceIDAuthService::hasValidCheckinInfo() const {
    const auto& preferences = checkinService_->checkinPreferences();
    return preferences && preferences->hasValidCheckinInfo();
}

QRVInstanceIDCheckinPreferencesPtr QRVInstanceIDAuthService::checkinPreferences() const {
    return checkinService_->checkinPreferences();
}

std::string QRVInstanceIDAuthService::checkinAuthToken() const {
    const auto& preferences = checkinService_->checkinPreferences();
    return preferences ? preferences->deviceID() + ":" + preferences->secretToken() : std::string(":");
}

int64_t QRVInstanceIDAuthService::calculateNextCheckinRetryIntervalInSeconds() const {
    if (checkinRetryCount_ > 9) return 32;
    return std::min<int64_t>(int64_t(1) << checkinRetryCount_, 32);
}

void QRVInstanceIDAuthService::fetchCheckinInfoWithHandler(Handler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (isCheckinInProgress_) {
        return handler(nullptr, errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeAlreadyRunning));
    }
    // A valid record answers at once: a caller that did not test validity
    // first would otherwise wait for ever.
    if (hasValidCheckinInfo()) return handler(checkinPreferences(), nullptr);
    isCheckinInProgress_ = true;
    std::weak_ptr<QRVInstanceIDAuthService> weakSelf = weak_from_this();
    checkinService_->checkinWithCompletion(
        [weakSelf, handler](QRVInstanceIDCheckinPreferencesPtr preferences, ns::ErrorRef error) {
            if (error) {
                QRVInstanceIDLoggerDebug(5003, "Failed to checkin device %@", error);
            } else {
                QRVInstanceIDLoggerDebug(5004, "Successfully got checkin credentials");
            }
            if (auto self = weakSelf.lock()) self->isCheckinInProgress_ = false;
            handler(preferences, error);
        });
}

void QRVInstanceIDAuthService::scheduleCheckin(bool immediately) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (hasValidCheckinInfo()) return;
    const int64_t interval = calculateNextCheckinRetryIntervalInSeconds();
    std::weak_ptr<QRVInstanceIDAuthService> weakSelf = weak_from_this();
    auto run = [weakSelf] {
        if (auto self = weakSelf.lock()) self->doCheckin();
    };
    if (immediately) {
        nextScheduledCheckinIntervalSeconds_ = std::max<int64_t>(interval, 1);
        ns::DispatchQueue::main()->async(run);
        return;
    }
    if (nextScheduledCheckinIntervalSeconds_ != 0) {
        QRVInstanceIDLoggerDebug(5000, "Checkin sync already scheduled. Will not schedule.");
        return;
    }
    nextScheduledCheckinIntervalSeconds_ = interval;
    ns::DispatchQueue::main()->after(double(interval), run);
}

void QRVInstanceIDAuthService::doCheckin() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (hasValidCheckinInfo()) {
        nextScheduledCheckinIntervalSeconds_ = 0;
        return;
    }
    nextScheduledCheckinIntervalSeconds_ = 0;
    std::weak_ptr<QRVInstanceIDAuthService> weakSelf = weak_from_this();
    fetchCheckinInfoWithHandler([weakSelf](QRVInstanceIDCheckinPreferencesPtr, ns::ErrorRef error) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->checkinRetryCount_++;
        self->lastCheckinTimestampSeconds_ = QRVInstanceIDCurrentTimestampInSeconds();
        if (error) {
            QRVInstanceIDLoggerDebug(5001, "Checkin error %@.", error);
            if (error->domain() == kQRVInstanceIDDomain && error->code() == kQRVInstanceIDErrorCodeAlreadyRunning) return;
            ns::DispatchQueue::main()->async([weakSelf] {
                if (auto again = weakSelf.lock()) again->scheduleCheckin(false);
            });
            return;
        }
        // The back-off is for a run of failures; the next run starts short again.
        self->checkinRetryCount_ = 0;
        QRVInstanceIDLoggerDebug(5002, "Checkin success.");
    });
}

void QRVInstanceIDAuthService::stopCheckinRequest() { checkinService_->stopFetching(); }

std::optional<std::string> QRVInstanceIDAuthService::cachedIIDAuthTokenForAuthorizedEntity(const std::string& entity) {
    if (auto it = IIDAuthTokenBySenderID_.find(entity); it != IIDAuthTokenBySenderID_.end()) return it->second;
    auto token = store_ ? store_->tokenWithAuthorizedEntity(entity, kQRVInstanceIDAllScopeIdentifier) : std::nullopt;
    if (token && !token->empty()) IIDAuthTokenBySenderID_[entity] = *token;
    return token;
}

void QRVInstanceIDAuthService::saveIIDAuthToken(const std::string& token, const std::string& entity) {
    if (cachedIIDAuthTokenForAuthorizedEntity(entity) == token) return;
    if (store_) store_->saveToken(token, entity, kQRVInstanceIDAllScopeIdentifier);
}
