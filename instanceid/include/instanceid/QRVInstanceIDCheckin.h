#pragma once
// Device check-in: the record of credentials the check-in service hands out
// (a device id and secret, valid for a day, with a digest, version
// information and service settings), its store (credentials in the keychain,
// the rest in the "o-checkin" property list), the JSON exchange with the
// check-in service, and the auth service that allows one check-in at a time,
// retries failures on a doubling schedule (read from ns::Clock) and keeps
// the per-sender IID auth tokens registration uses.
//
// Everything here runs on the main queue: replies of the check-in request
// are delivered there too, so the record and flags need no lock.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "instanceid/QRVInstanceIDStorage.h"
#include "platform/error.h"
#include "platform/http.h"
#include "platform/value.h"

inline constexpr const char* kQRVInstanceIDDigestStringKey = "YDRInstanceIDDigestKey";
inline constexpr const char* kQRVInstanceIDVersionInfoStringKey = "YDRInstanceIDVersionInfo";
inline constexpr const char* kQRVInstanceIDDeviceDataVersionKey = "YDRInstanceIDDeviceDataVersion";
inline constexpr const char* kQRVInstanceIDLastCheckinTimeKey = "YDRInstanceIDLastCheckinTimestampKey";
inline constexpr const char* kQRVInstanceIDOServicesDictionaryKey = "YDRInstanceIDOServicesData";
// Read only, from lists of an earlier layout that kept the credentials there.
inline constexpr const char* kQRVInstanceIDDeviceAuthIdKey = "YDRInstanceIDDeviceAuthIdKey";
inline constexpr const char* kQRVInstanceIDSecretTokenKey = "YDRInstanceIDSecretTokenKey";

inline constexpr const char* kQRVInstanceIDCheckinKeychainGeneric = "com.ondrix.iid";
inline constexpr const char* kQRVInstanceIDCheckinKeychainService = "com.ondrix.iid.checkin-service";
inline constexpr const char* kQRVInstanceIDCheckinKeychainAccount = "com.ondrix.iid.checkin-account";
inline constexpr const char* kQRVInstanceIDCheckinPlistFileName = "o-checkin";
// Scope under which IID auth tokens are kept in the token store.
inline constexpr const char* kQRVInstanceIDAllScopeIdentifier = "iid-all";

inline constexpr int64_t kQRVInstanceIDCheckinValidityMillis = 86400000;

class QRVInstanceIDCheckinPreferences {
public:
    QRVInstanceIDCheckinPreferences(std::string deviceID, std::string secretToken);

    const std::string& deviceID() const { return deviceID_; }
    const std::string& secretToken() const { return secretToken_; }
    std::string digest;
    std::string versionInfo;
    std::string deviceDataVersion;
    ns::Dictionary oServicesData;
    int64_t lastCheckinTimestampMillis = 0;
    bool hasPreCachedAuthCredentials = false;

    // "<device id>|<secret>" from "a|b"; nullptr unless exactly two non-empty parts.
    static std::shared_ptr<QRVInstanceIDCheckinPreferences> preferencesFromKeychainContents(const std::string& contents);
    static std::string checkinDeviceIDFromKeychainContent(const std::string& contents);
    static std::string checkinSecretFromKeychainContent(const std::string& contents);
    // nullopt unless both credentials are set.
    std::optional<std::string> checkinKeychainContent() const;
    ns::Dictionary checkinPlistContents() const;
    void updateWithCheckinPlistContents(const ns::Dictionary& contents);
    void reset();
    // Credentials present and checked in less than a day ago (or in the future).
    bool hasValidCheckinInfo() const;

private:
    std::string deviceID_;
    std::string secretToken_;
};

using QRVInstanceIDCheckinPreferencesPtr = std::shared_ptr<QRVInstanceIDCheckinPreferences>;

// What the check-in service saves its record through.
class QRVInstanceIDCheckinCache {
public:
    virtual ~QRVInstanceIDCheckinCache() = default;
    virtual bool saveCheckinPreferences(const QRVInstanceIDCheckinPreferences& preferences, ns::ErrorRef* error) = 0;
    virtual QRVInstanceIDCheckinPreferencesPtr cachedCheckinPreferences() = 0;
    virtual bool removeCheckinPreferences(ns::ErrorRef* error) = 0;
};

class QRVInstanceIDCheckinStore {
public:
    QRVInstanceIDCheckinStore(const std::string& checkinPlistFileName, const std::string& applicationSupportSubDirectory);
    QRVInstanceIDCheckinStore(std::shared_ptr<QRVInstanceIDBackupExcludedPlist> plist,
                              std::shared_ptr<QRVInstanceIDAuthKeychain> keychain);

    bool hasCheckinPlist() const { return plist_->doesFileExist(); }
    bool saveCheckinPreferences(const QRVInstanceIDCheckinPreferences& preferences, ns::ErrorRef* error = nullptr);
    QRVInstanceIDCheckinPreferencesPtr cachedCheckinPreferences();
    bool removeCheckinPreferencesWithError(ns::ErrorRef* error = nullptr);

private:
    std::shared_ptr<QRVInstanceIDBackupExcludedPlist> plist_;
    std::shared_ptr<QRVInstanceIDAuthKeychain> keychain_;
};

class QRVInstanceIDCheckinService : public std::enable_shared_from_this<QRVInstanceIDCheckinService> {
public:
    using Completion = std::function<void(QRVInstanceIDCheckinPreferencesPtr preferences, ns::ErrorRef error)>;
    using TestBlock = std::function<void(const ns::URLRequest& request, ns::DataTaskCompletion respond)>;

    // Loads the held record from the cache (held weakly).
    explicit QRVInstanceIDCheckinService(std::weak_ptr<QRVInstanceIDCheckinCache> checkinCache);
    ~QRVInstanceIDCheckinService();

    const QRVInstanceIDCheckinPreferencesPtr& checkinPreferences() const { return checkinPreferences_; }
    void setCheckinPreferences(QRVInstanceIDCheckinPreferencesPtr preferences) {
        checkinPreferences_ = std::move(preferences);
    }

    // POSTs the check-in JSON; the completion runs on the main queue.
    void checkinWithCompletion(Completion completion);
    void stopFetching();
    bool hasCachedDeviceID(const std::string& deviceID, const std::string& secret) const;
    // The JSON body; ids are sent as exact 64-bit integers.
    std::string checkinParameters() const;
    // A class-wide interceptor that answers instead of the server.
    static void setCheckinTestBlock(TestBlock block);

    // Reads a reply body into a record (nullptr and *error when unusable).
    QRVInstanceIDCheckinPreferencesPtr preferencesFromResponseBody(const ns::Data& body, ns::ErrorRef* error) const;

private:
    void handleResponse(const ns::Data& body, ns::ErrorRef transportError, const Completion& completion);

    QRVInstanceIDCheckinPreferencesPtr checkinPreferences_;
    std::weak_ptr<QRVInstanceIDCheckinCache> checkinCache_;
    ns::URLSessionPtr session_;
};

class QRVInstanceIDStore;

class QRVInstanceIDAuthService : public std::enable_shared_from_this<QRVInstanceIDAuthService> {
public:
    using Handler = std::function<void(QRVInstanceIDCheckinPreferencesPtr preferences, ns::ErrorRef error)>;

    explicit QRVInstanceIDAuthService(std::shared_ptr<QRVInstanceIDStore> store);
    QRVInstanceIDAuthService(std::shared_ptr<QRVInstanceIDCheckinService> checkinService,
                             std::shared_ptr<QRVInstanceIDStore> store);

    // Runs a check-in at once (asynchronously on the main queue) or after the
    // retry interval; nothing while the record is valid.
    void scheduleCheckin(bool immediately);
    void doCheckin();
    int64_t calculateNextCheckinRetryIntervalInSeconds() const;
    bool hasValidCheckinInfo() const;
    // Code 5 at once while a check-in runs; the record when it is valid;
    // otherwise a check-in and its answer.
    void fetchCheckinInfoWithHandler(Handler handler);
    QRVInstanceIDCheckinPreferencesPtr checkinPreferences() const;
    // "<device id>:<secret>"
    std::string checkinAuthToken() const;
    void stopCheckinRequest();
    std::optional<std::string> cachedIIDAuthTokenForAuthorizedEntity(const std::string& entity);
    void saveIIDAuthToken(const std::string& token, const std::string& entity);

    bool isCheckinInProgress() const { return isCheckinInProgress_; }
    int32_t checkinRetryCount() const { return checkinRetryCount_; }
    bool allowMissingAPNSToken = false;

private:
    std::shared_ptr<QRVInstanceIDCheckinService> checkinService_;
    std::shared_ptr<QRVInstanceIDStore> store_;
    std::map<std::string, std::string> IIDAuthTokenBySenderID_;
    bool isCheckinInProgress_ = false;
    int32_t checkinRetryCount_ = 0;
    int64_t lastCheckinTimestampSeconds_ = 0;
    int64_t nextScheduledCheckinIntervalSeconds_ = 0;
};
