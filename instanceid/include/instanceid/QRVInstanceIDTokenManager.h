#pragma once
// The token cache: tokens kept in the keychain (service = scope, account =
// authorized entity, value "<seconds>|Token|<token>"), the last APNs token in
// the "com.ondrix.iid-tokens" property list, the app and library versions in
// the user defaults, and the clean-up after a reinstall (property lists and
// defaults gone, keychain items still there). The token manager answers from
// the cache while nothing relevant changed (app version, APNs token) and
// otherwise fetches through the registrar.
//
// A launch judges a stored token by what was stored with it: the library
// version (missing: a reinstall, whose tokens go unless the token list
// survived), the token list itself, the app version and the APNs token. So
// every one of them reaches disk before the token does, on every road that
// stores one (the default token, other scopes, the IID auth token): a process
// ended between two of those writes leaves a token that the next launch
// keeps, or no token. The app version is replaced only after the tokens of
// the version before are gone, since the stored version vouches for every
// token. A token found with no app version stored at all was left by a
// process ended between the two writes under the earlier order, almost
// always by the version now running: it is kept and the current version is
// recorded for it (dropping it would leave its registration behind on the
// service and change the token the app already handed out).
//
// Used from the main queue (the registrar's replies arrive there too).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "instanceid/QRVInstanceIDCheckin.h"
#include "instanceid/QRVInstanceIDKeyPair.h"
#include "instanceid/QRVInstanceIDRegistration.h"
#include "instanceid/QRVInstanceIDStorage.h"
#include "instanceid/QRVInstanceIDUtilities.h"

inline constexpr const char* kQRVInstanceIDTokenKeychainGeneric = "com.ondrix.iid-tokens";
inline constexpr const char* kQRVInstanceIDTokenPlistFileName = "com.ondrix.iid-tokens";
inline constexpr const char* kQRVInstanceIDLibraryVersionKey = "YDRInstanceID-version";
inline constexpr const char* kQRVInstanceIDAppVersionKey = "com.ondrix.iid-app_version";
inline constexpr const char* kQRVInstanceIDCachedTokenMarker = "|Token|";

class QRVInstanceIDCachedToken {
public:
    enum Status : int { kNone = 0, kUsable = 1, kDiscard = 2 };

    std::optional<std::string> token;
    Status status = kNone;
    bool shouldInvalidateAllTokens = false;
    bool shouldRefreshTokens = false;
    bool isValid() const { return token && !token->empty() && status == kUsable; }
};

class QRVInstanceIDTokenStore {
public:
    static std::shared_ptr<QRVInstanceIDTokenStore> defaultStore();
    explicit QRVInstanceIDTokenStore(std::shared_ptr<QRVInstanceIDAuthKeychain> keychain);

    std::optional<std::string> tokenWithAuthorizedEntity(const std::string& entity, const std::string& scope);
    int64_t cacheTimeForTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope);
    bool saveToken(const std::string& token, const std::string& entity, const std::string& scope);
    bool removeTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                         ns::ErrorRef* error = nullptr);
    bool removeKDXTokensWithError(ns::ErrorRef* error = nullptr);
    bool removeAllTokensWithError(ns::ErrorRef* error = nullptr);
    // Removes the entity's tokens under every scope they are stored with,
    // but its IID auth token ("iid-all").
    bool removeTokensWithAuthorizedEntity(const std::string& entity, ns::ErrorRef* error = nullptr);
    // Whether the keychain holds any token (of any entity and scope).
    bool hasTokens();

    // "|T|<entity>|<scope>"
    static std::string cacheKeyForAuthorizedEntity(const std::string& entity, const std::string& scope);
    static std::string cacheValueForToken(const std::string& token);
    static std::optional<std::string> actualTokenFromCachedToken(const std::string& cached);
    static int64_t cacheTimeForCachedToken(const std::string& cached);

private:
    std::shared_ptr<QRVInstanceIDAuthKeychain> keychain_;
};

class QRVInstanceIDStore : public QRVInstanceIDCheckinCache {
public:
    static std::shared_ptr<QRVInstanceIDStore> defaultStore();
    QRVInstanceIDStore(std::shared_ptr<QRVInstanceIDBackupExcludedPlist> tokenPlist,
                       std::shared_ptr<QRVInstanceIDCheckinStore> checkinStore,
                       std::shared_ptr<QRVInstanceIDTokenStore> tokenStore);

    // Tokens; an empty entity or scope reads nothing and removes nothing.
    std::optional<std::string> tokenWithAuthorizedEntity(const std::string& entity, const std::string& scope);
    int64_t cacheTimeForTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope);
    // Stores what the next launch checks the token against first
    // (storeWhatTokensAreCheckedAgainst), then the token.
    bool saveToken(const std::string& token, const std::string& entity, const std::string& scope);
    // The library version, the token list (so that a lost library version is
    // not taken for a reinstall) and the current app version, each written
    // only when not stored already; a different app version on record first
    // takes every token made under it away.
    void storeWhatTokensAreCheckedAgainst();
    bool removeCachedTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope);
    bool removeAllCachedTokensWithError(ns::ErrorRef* error = nullptr);
    bool removeAllKDXTokensWithError(ns::ErrorRef* error = nullptr);
    bool removeCachedTokensWithAuthorizedEntity(const std::string& entity, ns::ErrorRef* error = nullptr);

    // APNs token property list.
    std::optional<std::string> cachedAPNSTokenForServerType(bool isSandbox);
    void saveAPNSToken(const std::string& token, bool isSandbox);
    void removeCachedAPNSTokenForServeryType(bool isSandbox);

    // Check-in record.
    bool saveCheckinPreferences(const QRVInstanceIDCheckinPreferences& preferences, ns::ErrorRef* error) override;
    QRVInstanceIDCheckinPreferencesPtr cachedCheckinPreferences() override;
    bool removeCheckinPreferences(ns::ErrorRef* error) override;

    // Versions.
    void saveLibraryVersion();
    std::optional<std::string> currentSavedLibraryVersion() const;
    bool hasSavedLibraryVersion() const { return currentSavedLibraryVersion().has_value(); }
    void saveAppVersion();
    std::optional<std::string> currentSavedAppVersion() const;
    std::string currentAppVersion() const { return QRVInstanceIDCurrentAppVersion(); }
    bool hasSavedAppVersion() const { return currentSavedAppVersion().has_value(); }
    static std::string appVersionKey() { return kQRVInstanceIDAppVersionKey; }
    // The defaults the versions live in could not be read (a read failure,
    // not damage): a version missing then is unknown, not absent, and
    // nothing is reset or recorded for it.
    bool savedVersionsUnread() const;

    // Directories under Application Support.
    static std::string pathForApplicationSupportSubDirectory(const std::string& subDirectoryName);
    static bool hasApplicationSupportSubDirectory(const std::string& subDirectoryName);
    static bool createApplicationSupportSubDirectory(const std::string& subDirectoryName);

    static std::string apnsTokenCacheKeyForServerType(bool isSandbox);
    static std::string tokenPlistFileName() { return kQRVInstanceIDTokenPlistFileName; }

    // Deletes an earlier installation's messaging registrations on the
    // service.
    static void deleteQDXTokensOnAppReset(const QRVInstanceIDCheckinPreferencesPtr& preferences);
    // On the first run after a (re)install: clears what the keychain kept of
    // the earlier installation.
    void resetCredentialsIfNeeded();
    // Tokens kept with no app version on record count as the current
    // version's: records it for them.
    void adoptTokensOfAnUnrecordedAppVersion();

private:
    std::shared_ptr<QRVInstanceIDBackupExcludedPlist> tokenPlist_;
    std::shared_ptr<QRVInstanceIDCheckinStore> checkinStore_;
    std::shared_ptr<QRVInstanceIDTokenStore> tokenStore_;
};

class QRVInstanceIDTokenManager {
public:
    QRVInstanceIDTokenManager();

    const std::shared_ptr<QRVInstanceIDStore>& instanceIDStore() const { return instanceIDStore_; }
    QRVInstanceIDRegistrar& registrar() { return *registrar_; }
    const std::shared_ptr<QRVInstanceIDAuthService>& authService() const { return registrar_->authService(); }
    void setAllowMissingAPNSToken(bool allow);

    QRVInstanceIDCachedToken tokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                                       const ns::Dictionary& options);
    void fetchNewTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                           QRVInstanceIDKeyPairPtr keyPair, const ns::Dictionary& options,
                                           QRVInstanceIDTokenHandler handler);
    void deleteTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                         QRVInstanceIDKeyPairPtr keyPair, QRVInstanceIDDeleteHandler handler);
    void deleteAllTokensWithKeyPair(QRVInstanceIDKeyPairPtr keyPair, QRVInstanceIDDeleteHandler handler);
    bool deleteAllTokensLocallyWithError(ns::ErrorRef* error = nullptr);
    // Removes the cached tokens when the app version or the APNs token
    // changed; returns whether that removal succeeded.
    bool invalidateCachedToken(const QRVInstanceIDCachedToken& token, const std::string& entity,
                               const std::string& scope, const ns::Dictionary& options);
    bool shouldResetTokenOnAppVersion();
    bool shouldResetTokenOnAPNSToken(const std::string& apnsToken, bool isSandbox);

private:
    bool isMessagingLike(const std::string& scope) const;

    std::shared_ptr<QRVInstanceIDStore> instanceIDStore_;
    std::unique_ptr<QRVInstanceIDRegistrar> registrar_;
    bool allowMissingAPNSToken_ = false;
};
