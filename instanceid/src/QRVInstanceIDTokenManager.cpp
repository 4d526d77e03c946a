#include "instanceid/QRVInstanceIDTokenManager.h"

#include <charconv>

#include "instanceid/QRVInstanceIDUtilities.h"
#include "platform/dispatch.h"
#include "platform/file_manager.h"
#include "platform/keychain.h"
#include "platform/user_defaults.h"

namespace {

const std::string* stringOption(const ns::Dictionary& options, const char* key) {
    auto it = options.find(key);
    return it == options.end() ? nullptr : it->second.stringOrNull();
}

bool boolOption(const ns::Dictionary& options, const char* key) {
    auto it = options.find(key);
    return it != options.end() && it->second.boolValue();
}

}  // namespace

// MARK: - Token store

std::shared_ptr<QRVInstanceIDTokenStore> QRVInstanceIDTokenStore::defaultStore() {
    return std::make_shared<QRVInstanceIDTokenStore>(
        std::make_shared<QRVInstanceIDAuthKeychain>(kQRVInstanceIDTokenKeychainGeneric));
}

QRVInstanceIDTokenStore::QRVInstanceIDTokenStore(std::shared_ptr<QRVInstanceIDAuthKeychain> keychain)
    : keychain_(std::move(keychain)) {}

std::string QRVInstanceIDTokenStore::cacheKeyForAuthorizedEntity(const std::string& entity, const std::string& scope) {
    return "|T|" + entity + "|" + scope;
}

std::string QRVInstanceIDTokenStore::cacheValueForToken(const std::string& token) {
    return std::to_string(QRVInstanceIDCurrentTimestampInSeconds()) + kQRVInstanceIDCachedTokenMarker + token;
}

std::optional<std::string> QRVInstanceIDTokenStore::actualTokenFromCachedToken(const std::string& cached) {
    const size_t at = cached.find(kQRVInstanceIDCachedTokenMarker);
    const size_t start = at + std::string_view(kQRVInstanceIDCachedTokenMarker).size();
    if (at == std::string::npos || start >= cached.size()) {
        QRVInstanceIDLoggerDebug(15001, "Couldn't decode cached IID token to get actual token %@", cached);
        return std::nullopt;
    }
    return cached.substr(start);
}

int64_t QRVInstanceIDTokenStore::cacheTimeForCachedToken(const std::string& cached) {
    const size_t at = cached.find(kQRVInstanceIDCachedTokenMarker);
    int64_t seconds = 0;
    if (at == std::string::npos || at == 0 ||
        std::from_chars(cached.data(), cached.data() + at, seconds).ec != std::errc()) {
        QRVInstanceIDLoggerError(15003, "Cannot decode cached IID token to get cache time %@", cached);
        return 0;
    }
    return seconds;
}

std::optional<std::string> QRVInstanceIDTokenStore::tokenWithAuthorizedEntity(const std::string& entity,
                                                                             const std::string& scope) {
    ns::ErrorRef error;
    auto cached = keychain_->passwordForService(scope, entity, keychain_->defaultAccessGroup(), &error);
    if (!cached || cached->empty()) {
        if (error && error->code() != ns::errSecItemNotFound) {
            QRVInstanceIDLoggerError(15000, "Couldn't retrieve token from Keychain: %@", error);
        }
        return std::nullopt;
    }
    return actualTokenFromCachedToken(*cached);
}

int64_t QRVInstanceIDTokenStore::cacheTimeForTokenWithAuthorizedEntity(const std::string& entity,
                                                                      const std::string& scope) {
    ns::ErrorRef error;
    auto cached = keychain_->passwordForService(scope, entity, keychain_->defaultAccessGroup(), &error);
    if (!cached) {
        QRVInstanceIDLoggerDebug(15002, "Unable to find token in cache %@", error);
        return 0;
    }
    return cacheTimeForCachedToken(*cached);
}

bool QRVInstanceIDTokenStore::saveToken(const std::string& token, const std::string& entity,
                                        const std::string& scope) {
    const std::string value = cacheValueForToken(token);
    const auto group = keychain_->defaultAccessGroup();
    ns::ErrorRef readError;
    auto existing = keychain_->passwordForService(scope, entity, group, &readError);
    if (readError) {
        if (readError->code() == ns::errSecItemNotFound) {
            QRVInstanceIDLoggerDebug(15004, "Did not find token in Keychain for entity: %@ scope: %@ Trying to add new token",
                                     entity, scope);
        } else {
            QRVInstanceIDLoggerDebug(15005, "Error while trying to read existing token for entity: %@ scope: %@. Trying "
                                            "to add new token",
                                     entity, scope);
        }
    }
    if (existing == value) return true;
    ns::ErrorRef error;
    if (!keychain_->setPassword(value, scope, "", entity, group, &error)) {
        QRVInstanceIDLoggerError(15006, "Error unable to save iid-token to keychain %@", error);
        return false;
    }
    QRVInstanceIDLoggerInfo(15007, "Cached new token for authorizedEntity: %@, scope: %@", entity, scope);
    return true;
}

bool QRVInstanceIDTokenStore::removeTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                                              ns::ErrorRef* error) {
    if (!keychain_->removePasswordForService(scope, entity, keychain_->defaultAccessGroup(), error, false)) {
        QRVInstanceIDLoggerError(15008, "Error failed to delete token from Keychain %@", error ? *error : nullptr);
        return false;
    }
    QRVInstanceIDLoggerInfo(15009, "Successfully removed token from keychain for auth entity: %@ scope: %@", entity,
                            scope);
    return true;
}

bool QRVInstanceIDTokenStore::removeKDXTokensWithError(ns::ErrorRef* error) {
    if (!keychain_->removePasswordForService("KDX", "*", keychain_->defaultAccessGroup(), error)) {
        QRVInstanceIDLoggerError(15010, "Error failed to delete all KDX tokens from keychain %@", error ? *error : nullptr);
        return false;
    }
    QRVInstanceIDLoggerInfo(15011, "Successfully removed all KDX tokens");
    return true;
}

bool QRVInstanceIDTokenStore::removeAllTokensWithError(ns::ErrorRef* error) {
    if (!keychain_->removePasswordForService("*", "*", keychain_->defaultAccessGroup(), error)) {
        QRVInstanceIDLoggerError(15012, "Error failed to remove all tokens from keychain %@", error ? *error : nullptr);
        return false;
    }
    QRVInstanceIDLoggerInfo(15013, "Successfully removed all IID tokens");
    return true;
}

bool QRVInstanceIDTokenStore::removeTokensWithAuthorizedEntity(const std::string& entity, ns::ErrorRef* error) {
    // Tokens are stored under their scope; find the scopes this entity has.
    ns::Dictionary query = keychain_->keychainQueryForService("*", entity, keychain_->defaultAccessGroup());
    query[ns::kSecReturnAttributes] = true;
    query[ns::kSecMatchLimit] = ns::kSecMatchLimitAll;
    ns::Value found;
    const ns::OSStatus status = ns::SecItemCopyMatching(query, &found);
    if (status == ns::errSecItemNotFound) return true;
    if (status != ns::errSecSuccess) {
        if (error) *error = ns::Error::make(kQRVInstanceIDKeychainErrorDomain, status);
        return false;
    }
    bool removed = true;
    for (const ns::Value& item : found.isArray() ? found.asArray() : ns::Array{}) {
        const std::string* scope = item[ns::kSecAttrService].stringOrNull();
        if (!scope || *scope == kQRVInstanceIDAllScopeIdentifier) continue;
        removed = removeTokenWithAuthorizedEntity(entity, *scope, error) && removed;
    }
    return removed;
}

bool QRVInstanceIDTokenStore::hasTokens() {
    ns::Dictionary query = keychain_->keychainQueryForService("*", "*", keychain_->defaultAccessGroup());
    query[ns::kSecMatchLimit] = ns::kSecMatchLimitOne;
    return ns::SecItemCopyMatching(query, nullptr) == ns::errSecSuccess;
}

// MARK: - Instance-identity store

std::shared_ptr<QRVInstanceIDStore> QRVInstanceIDStore::defaultStore() {
    auto tokenPlist = std::make_shared<QRVInstanceIDBackupExcludedPlist>(kQRVInstanceIDTokenPlistFileName,
                                                                         kQRVInstanceIDApplicationSupportSubDirectory);
    auto checkinStore = std::make_shared<QRVInstanceIDCheckinStore>(kQRVInstanceIDCheckinPlistFileName,
                                                                    kQRVInstanceIDApplicationSupportSubDirectory);
    return std::make_shared<QRVInstanceIDStore>(tokenPlist, checkinStore, QRVInstanceIDTokenStore::defaultStore());
}

QRVInstanceIDStore::QRVInstanceIDStore(std::shared_ptr<QRVInstanceIDBackupExcludedPlist> tokenPlist,
                                       std::shared_ptr<QRVInstanceIDCheckinStore> checkinStore,
                                       std::shared_ptr<QRVInstanceIDTokenStore> tokenStore)
    : tokenPlist_(std::move(tokenPlist)), checkinStore_(std::move(checkinStore)), tokenStore_(std::move(tokenStore)) {
    resetCredentialsIfNeeded();
    saveLibraryVersion();
    adoptTokensOfAnUnrecordedAppVersion();
}

std::optional<std::string> QRVInstanceIDStore::tokenWithAuthorizedEntity(const std::string& entity,
                                                                        const std::string& scope) {
    if (entity.empty() || scope.empty()) return std::nullopt;
    return tokenStore_->tokenWithAuthorizedEntity(entity, scope);
}

int64_t QRVInstanceIDStore::cacheTimeForTokenWithAuthorizedEntity(const std::string& entity,
                                                                 const std::string& scope) {
    if (entity.empty() || scope.empty()) return 0;
    return tokenStore_->cacheTimeForTokenWithAuthorizedEntity(entity, scope);
}

bool QRVInstanceIDStore::saveToken(const std::string& token, const std::string& entity, const std::string& scope) {
    storeWhatTokensAreCheckedAgainst();
    return tokenStore_->saveToken(token, entity, scope);
}

void QRVInstanceIDStore::storeWhatTokensAreCheckedAgainst() {
    if (currentSavedLibraryVersion() != QRVInstanceIDCurrentLibraryVersion()) saveLibraryVersion();
    // Without the list a launch that finds no library version (defaults
    // lost) takes the tokens for an earlier installation's.
    if (!tokenPlist_->doesFileExist() && !tokenPlist_->writeDictionary(ns::Dictionary{})) {
        QRVInstanceIDLoggerError(13015, "Failed to create %@.plist", tokenPlistFileName());
    }
    const std::optional<std::string> saved = currentSavedAppVersion();
    const std::string current = currentAppVersion();
    if (saved == current) return;
    if (saved) {
        // The stored version speaks for every stored token: those made under
        // the version before must not outlive it as the new one's.
        ns::ErrorRef error;
        if (!tokenStore_->removeAllTokensWithError(&error)) {
            QRVInstanceIDLoggerError(13016, "Failed to remove the tokens of app version %@: %@", *saved, error);
        }
    }
    saveAppVersion();
}

bool QRVInstanceIDStore::savedVersionsUnread() const { return ns::UserDefaults::standard()->readError() != nullptr; }

void QRVInstanceIDStore::adoptTokensOfAnUnrecordedAppVersion() {
    if (hasSavedAppVersion() || savedVersionsUnread() || !tokenStore_->hasTokens()) return;
    QRVInstanceIDLoggerInfo(13017, "Cached tokens without a recorded app version are kept as version %@'s",
                            currentAppVersion());
    saveAppVersion();
}

bool QRVInstanceIDStore::removeCachedTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope) {
    if (entity.empty() || scope.empty()) {
        QRVInstanceIDLoggerError(13012, "Will not delete token with invalid entity: %@, scope: %@", entity, scope);
        return false;
    }
    return tokenStore_->removeTokenWithAuthorizedEntity(entity, scope);
}

bool QRVInstanceIDStore::removeAllCachedTokensWithError(ns::ErrorRef* error) {
    return tokenStore_->removeAllTokensWithError(error);
}

bool QRVInstanceIDStore::removeAllKDXTokensWithError(ns::ErrorRef* error) {
    return tokenStore_->removeKDXTokensWithError(error);
}

bool QRVInstanceIDStore::removeCachedTokensWithAuthorizedEntity(const std::string& entity, ns::ErrorRef* error) {
    if (entity.empty()) return false;
    return tokenStore_->removeTokensWithAuthorizedEntity(entity, error);
}

std::string QRVInstanceIDStore::apnsTokenCacheKeyForServerType(bool isSandbox) {
    return std::string("|O|") + "YDRInstanceIDApnsTokenKey" + "|" + (isSandbox ? "sandbox" : "prod");
}

std::optional<std::string> QRVInstanceIDStore::cachedAPNSTokenForServerType(bool isSandbox) {
    auto contents = tokenPlist_->contentAsDictionary();
    if (!contents) return std::nullopt;
    auto it = contents->find(apnsTokenCacheKeyForServerType(isSandbox));
    if (it == contents->end() || !it->second.isString()) return std::nullopt;
    return it->second.asString();
}

void QRVInstanceIDStore::saveAPNSToken(const std::string& token, bool isSandbox) {
    if (token.empty()) return;
    const std::string key = apnsTokenCacheKeyForServerType(isSandbox);
    if (!tokenPlist_->writeDictionary(ns::Dictionary{{key, token}})) {
        QRVInstanceIDLoggerError(13011, "Failed to save APNS token with key %@", key);
    }
}

void QRVInstanceIDStore::removeCachedAPNSTokenForServeryType(bool isSandbox) {
    const std::string key = apnsTokenCacheKeyForServerType(isSandbox);
    auto contents = tokenPlist_->contentAsDictionary();
    if (!contents || !contents->contains(key)) return;
    ns::Dictionary rest = *contents;
    rest.erase(key);
    if (!tokenPlist_->writeDictionary(rest)) {
        QRVInstanceIDLoggerError(13013, "Failed to remove APNS token with key %@", key);
    }
}

bool QRVInstanceIDStore::saveCheckinPreferences(const QRVInstanceIDCheckinPreferences& preferences,
                                                ns::ErrorRef* error) {
    // A launch that finds no library version removes credentials whose
    // property list is missing: the version goes first, so that only a
    // reinstall (or lost defaults) can look like that.
    if (currentSavedLibraryVersion() != QRVInstanceIDCurrentLibraryVersion()) saveLibraryVersion();
    return checkinStore_->saveCheckinPreferences(preferences, error);
}

QRVInstanceIDCheckinPreferencesPtr QRVInstanceIDStore::cachedCheckinPreferences() {
    return checkinStore_->cachedCheckinPreferences();
}

bool QRVInstanceIDStore::removeCheckinPreferences(ns::ErrorRef* error) {
    return checkinStore_->removeCheckinPreferencesWithError(error);
}

void QRVInstanceIDStore::saveLibraryVersion() {
    const std::string& version = QRVInstanceIDCurrentLibraryVersion();
    ns::UserDefaults::standard()->setString(version, kQRVInstanceIDLibraryVersionKey);
    QRVInstanceIDLoggerInfo(13010, "InstanceID library version %@", version);
}

std::optional<std::string> QRVInstanceIDStore::currentSavedLibraryVersion() const {
    return ns::UserDefaults::standard()->stringForKey(kQRVInstanceIDLibraryVersionKey);
}

void QRVInstanceIDStore::saveAppVersion() {
    const std::string version = currentAppVersion();
    ns::UserDefaults::standard()->setString(version, appVersionKey());
    QRVInstanceIDLoggerDebug(13014, "Save App version %@", version);
}

std::optional<std::string> QRVInstanceIDStore::currentSavedAppVersion() const {
    return ns::UserDefaults::standard()->stringForKey(appVersionKey());
}

std::string QRVInstanceIDStore::pathForApplicationSupportSubDirectory(const std::string& subDirectoryName) {
    return ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" +
           subDirectoryName;
}

bool QRVInstanceIDStore::hasApplicationSupportSubDirectory(const std::string& subDirectoryName) {
    bool isDirectory = false;
    return ns::FileManager::defaultManager().fileExists(pathForApplicationSupportSubDirectory(subDirectoryName),
                                                        &isDirectory) &&
           isDirectory;
}

bool QRVInstanceIDStore::createApplicationSupportSubDirectory(const std::string& subDirectoryName) {
    const std::string path = pathForApplicationSupportSubDirectory(subDirectoryName);
    const ns::FileManager& files = ns::FileManager::defaultManager();
    bool isDirectory = false;
    if (files.fileExists(path, &isDirectory)) {
        if (isDirectory) return true;
        QRVInstanceIDLoggerError(13001, "Found file instead of directory at %@", path);
        return false;
    }
    ns::ErrorRef error;
    if (!files.createDirectory(path, true, &error, 0700)) {
        QRVInstanceIDLoggerError(13000, "Cannot create directory %@, error: %@", path, error);
        return false;
    }
    return true;
}

void QRVInstanceIDStore::deleteQDXTokensOnAppReset(const QRVInstanceIDCheckinPreferencesPtr& preferences) {
    if (!preferences || preferences->deviceID().empty() || preferences->secretToken().empty()) {
        QRVInstanceIDLoggerDebug(13009, "App reset detected but no valid checkin auth preferences found. Will not "
                                        "delete server registrations.");
        return;
    }
    QRVInstanceIDLoggerDebug(13006, "App reset detected. Will delete server registrations.");
    QRVInstanceIDRegistrationClient::deleteKDXTokenOnAppResetWithDeviceID(
        preferences->deviceID(), preferences->secretToken(), [](ns::ErrorRef error) {
            if (error) {
                QRVInstanceIDLoggerDebug(13007, "Failed to delete KDX server registrations on app reset.");
            } else {
                QRVInstanceIDLoggerDebug(13008, "Successfully deleted KDX server registrations on app reset");
            }
        });
}

void QRVInstanceIDStore::resetCredentialsIfNeeded() {
    if (hasSavedLibraryVersion()) return;
    if (savedVersionsUnread()) {
        QRVInstanceIDLoggerError(13018, "Cannot read the saved library version (%@); credentials are kept",
                                 ns::UserDefaults::standard()->readError());
        return;
    }
    const bool checkinPlistExists = checkinStore_->hasCheckinPlist();
    const bool tokenPlistExists = tokenPlist_->doesFileExist();
    QRVInstanceIDCheckinPreferencesPtr earlier;
    if (!checkinPlistExists) {
        earlier = checkinStore_->cachedCheckinPreferences();
        ns::ErrorRef error;
        if (checkinStore_->removeCheckinPreferencesWithError(&error)) {
            QRVInstanceIDLoggerDebug(13002, "Removed cached checkin preferences from Keychain.");
        } else {
            QRVInstanceIDLoggerError(13003, "Couldn't remove cached checkin preferences. Error: %@", error);
        }
    }
    if (!tokenPlistExists) {
        ns::ErrorRef error;
        if (tokenStore_->removeAllTokensWithError(&error)) {
            QRVInstanceIDLoggerDebug(13004, "Removed all tokens from Keychain.");
        } else {
            QRVInstanceIDLoggerError(13005, "Couldn't remove all tokens from Keychain. Error: %@", error);
        }
    }
    if (earlier) deleteQDXTokensOnAppReset(earlier);
}

// MARK: - Token manager

QRVInstanceIDTokenManager::QRVInstanceIDTokenManager()
    : instanceIDStore_(QRVInstanceIDStore::defaultStore()),
      registrar_(std::make_unique<QRVInstanceIDRegistrar>(std::make_shared<QRVInstanceIDAuthService>(instanceIDStore_))) {}

void QRVInstanceIDTokenManager::setAllowMissingAPNSToken(bool allow) {
    allowMissingAPNSToken_ = allow;
    authService()->allowMissingAPNSToken = allow;
}

bool QRVInstanceIDTokenManager::isMessagingLike(const std::string& scope) const {
    return QRVInstanceIDIsValidKDXScope(scope) || QRVInstanceIDIsValidDefaultScope(scope);
}

QRVInstanceIDCachedToken QRVInstanceIDTokenManager::tokenWithAuthorizedEntity(const std::string& entity,
                                                                              const std::string& scope,
                                                                              const ns::Dictionary& options) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    QRVInstanceIDCachedToken cached;
    cached.token = instanceIDStore_->tokenWithAuthorizedEntity(entity, scope);
    if (shouldResetTokenOnAppVersion()) {
        cached.status = QRVInstanceIDCachedToken::kDiscard;
        cached.shouldInvalidateAllTokens = true;
        return cached;
    }
    const std::string* apnsToken = stringOption(options, "apns_token");
    if (isMessagingLike(scope) && cached.token && !allowMissingAPNSToken_ && apnsToken && !apnsToken->empty() &&
        shouldResetTokenOnAPNSToken(*apnsToken, boolOption(options, "apns_sandbox"))) {
        cached.status = QRVInstanceIDCachedToken::kDiscard;
        cached.shouldInvalidateAllTokens = true;
        return cached;
    }
    cached.status = cached.token ? QRVInstanceIDCachedToken::kUsable : QRVInstanceIDCachedToken::kNone;
    return cached;
}

bool QRVInstanceIDTokenManager::shouldResetTokenOnAppVersion() {
    auto saved = instanceIDStore_->currentSavedAppVersion();
    const std::string current = instanceIDStore_->currentAppVersion();
    if (saved) return *saved != current;
    return !current.empty() && !instanceIDStore_->savedVersionsUnread();
}

bool QRVInstanceIDTokenManager::shouldResetTokenOnAPNSToken(const std::string& apnsToken, bool isSandbox) {
    auto cached = instanceIDStore_->cachedAPNSTokenForServerType(isSandbox);
    if (apnsToken.empty() && !cached) return false;
    return !cached || *cached != apnsToken;
}

bool QRVInstanceIDTokenManager::invalidateCachedToken(const QRVInstanceIDCachedToken&, const std::string& entity,
                                                      const std::string& scope, const ns::Dictionary& options) {
    const bool versionChanged = shouldResetTokenOnAppVersion();
    const std::string* apnsToken = stringOption(options, "apns_token");
    const bool isSandbox = boolOption(options, "apns_sandbox");
    const bool apnsChanged = isMessagingLike(scope) && !allowMissingAPNSToken_ &&
                             shouldResetTokenOnAPNSToken(apnsToken ? *apnsToken : std::string(), isSandbox);
    bool removed = false;
    if (versionChanged || apnsChanged) {
        // Tokens live under their own scopes; removing "KDX" alone would
        // leave every stale token in place.
        removed = instanceIDStore_->removeCachedTokensWithAuthorizedEntity(entity);
    }
    std::string note;
    if (apnsChanged) {
        instanceIDStore_->removeCachedAPNSTokenForServeryType(isSandbox);
        note += "APNS token changed, ";
    }
    if (versionChanged) note += "App Version updated, ";
    if (!note.empty()) {
        if (removed) {
            QRVInstanceIDLoggerInfo(14004, "%@ Did reset cached tokens", note);
        } else {
            QRVInstanceIDLoggerInfo(14005, "%@ Failed to reset cached tokens", note);
        }
    }
    return removed;
}

void QRVInstanceIDTokenManager::fetchNewTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                                                  QRVInstanceIDKeyPairPtr keyPair,
                                                                  const ns::Dictionary& options,
                                                                  QRVInstanceIDTokenHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    QRVInstanceIDLoggerDebug(14000, "Fetch new token for authorizedEntity: %@, scope: %@", entity, scope);
    std::shared_ptr<QRVInstanceIDStore> store = instanceIDStore_;
    registrar_->fetchTokenWithAuthorizedEntity(
        entity, scope, std::move(keyPair), options,
        [store, entity, scope, options, handler](std::optional<std::string> token, ns::ErrorRef error) {
            if (error) return handler(std::nullopt, error);
            if (!token || token->empty()) {
                return handler(std::nullopt, errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeUnknown));
            }
            // The APNs token the next launch compares this token with is
            // stored before it, as are the versions (in saveToken).
            const std::string* apnsToken = stringOption(options, "apns_token");
            if ((QRVInstanceIDIsValidKDXScope(scope) || QRVInstanceIDIsValidDefaultScope(scope)) && apnsToken &&
                !apnsToken->empty()) {
                store->saveAPNSToken(*apnsToken, boolOption(options, "apns_sandbox"));
            }
            if (!store->saveToken(*token, entity, scope)) {
                return handler(std::nullopt, errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeTokenNotCached));
            }
            QRVInstanceIDLoggerDebug(14001, "Token fetch successful, token: %@, authorizedEntity: %@, scope:%@", *token,
                                     entity, scope);
            handler(token, nullptr);
        });
}

void QRVInstanceIDTokenManager::deleteTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                                                QRVInstanceIDKeyPairPtr keyPair,
                                                                QRVInstanceIDDeleteHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (instanceIDStore_->tokenWithAuthorizedEntity(entity, scope)) {
        if (instanceIDStore_->cacheTimeForTokenWithAuthorizedEntity(entity, scope) == 0) {
            QRVInstanceIDLoggerError(14002, "Invalid 0 cache time for entity: %@, scope: %@", entity, scope);
        }
        instanceIDStore_->removeCachedTokenWithAuthorizedEntity(entity, scope);
    }
    registrar_->deleteTokenWithAuthorizedEntity(entity, scope, std::move(keyPair), std::move(handler));
}

void QRVInstanceIDTokenManager::deleteAllTokensWithKeyPair(QRVInstanceIDKeyPairPtr keyPair,
                                                           QRVInstanceIDDeleteHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::ErrorRef error;
    if (!instanceIDStore_->removeAllCachedTokensWithError(&error)) {
        QRVInstanceIDLoggerDebug(14003, "Failed to delete cached tokens %@", error);
        return handler(errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeCacheClearFailed));
    }
    registrar_->deleteTokenWithAuthorizedEntity("*", "*", std::move(keyPair), std::move(handler));
}

bool QRVInstanceIDTokenManager::deleteAllTokensLocallyWithError(ns::ErrorRef* error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return instanceIDStore_->removeAllCachedTokensWithError(error);
}
