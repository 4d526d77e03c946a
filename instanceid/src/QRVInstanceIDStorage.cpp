#include "instanceid/QRVInstanceIDStorage.h"

#include <mutex>

#include "instanceid/QRVInstanceIDUtilities.h"
#include "platform/crypto.h"
#include "platform/file_manager.h"
#include "platform/plist.h"

namespace {

bool usable(const std::string& attribute, bool wildcards) {
    return !attribute.empty() && !(wildcards && attribute == kQRVInstanceIDKeychainWildcardIdentifier);
}

void report(ns::ErrorRef* error, ns::OSStatus status) {
    if (error) *error = ns::Error::make(kQRVInstanceIDKeychainErrorDomain, status);
}

// The process-wide default access group: unknown until probed, then a group
// or none for the rest of the run.
struct AccessGroupCache {
    std::mutex mutex;
    bool probed = false;
    std::optional<std::string> group;
};

AccessGroupCache& accessGroupCache() {
    static AccessGroupCache* cache = new AccessGroupCache();
    return *cache;
}

}  // namespace

QRVInstanceIDAuthKeychain::QRVInstanceIDAuthKeychain(std::string identifier) : generic_(std::move(identifier)) {}

ns::Dictionary QRVInstanceIDAuthKeychain::keychainQueryForService(const std::string& service,
                                                                  const std::string& account,
                                                                  const std::optional<std::string>& accessGroup,
                                                                  const std::string& generic, bool wildcards) {
    ns::Dictionary query{{ns::kSecClass, ns::kSecClassGenericPassword}};
    if (usable(generic, true)) query[ns::kSecAttrGeneric] = generic;
    if (usable(service, wildcards)) query[ns::kSecAttrService] = service;
    if (usable(account, wildcards)) query[ns::kSecAttrAccount] = account;
    if (accessGroup) query[ns::kSecAttrAccessGroup] = *accessGroup;
    return query;
}

ns::Dictionary QRVInstanceIDAuthKeychain::keychainQueryForService(const std::string& service,
                                                                  const std::string& account,
                                                                  const std::optional<std::string>& accessGroup,
                                                                  bool wildcards) const {
    return keychainQueryForService(service, account, accessGroup, generic_, wildcards);
}

std::optional<std::string> QRVInstanceIDAuthKeychain::passwordForService(const std::string& service,
                                                                         const std::string& account,
                                                                         const std::optional<std::string>& accessGroup,
                                                                         ns::ErrorRef* error) const {
    if (service.empty() || account.empty()) {
        report(error, kQRVInstanceIDKeychainBadArguments);
        return std::nullopt;
    }
    ns::Dictionary query = keychainQueryForService(service, account, accessGroup, false);
    query[ns::kSecReturnData] = true;
    query[ns::kSecMatchLimit] = ns::kSecMatchLimitOne;
    ns::Value result;
    const ns::OSStatus status = ns::SecItemCopyMatching(query, &result);
    if (status != ns::errSecSuccess) {
        report(error, status);
        return std::nullopt;
    }
    if (!result.isData() || result.asData().empty()) return std::nullopt;
    return ns::crypto::toString(result.asData());
}

bool QRVInstanceIDAuthKeychain::removePasswordForService(const std::string& service, const std::string& account,
                                                         const std::optional<std::string>& accessGroup,
                                                         ns::ErrorRef* error, bool wildcards) const {
    if (service.empty() || account.empty()) {
        report(error, kQRVInstanceIDKeychainBadArguments);
        return false;
    }
    const ns::OSStatus status = ns::SecItemDelete(keychainQueryForService(service, account, accessGroup, wildcards));
    if (status == ns::errSecSuccess || status == ns::errSecItemNotFound) return true;
    report(error, status);
    return false;
}

bool QRVInstanceIDAuthKeychain::setPassword(const std::string& password, const std::string& service,
                                            const std::string& accessibility, const std::string& account,
                                            const std::optional<std::string>& accessGroup,
                                            ns::ErrorRef* error) const {
    if (service.empty() || account.empty()) {
        report(error, kQRVInstanceIDKeychainBadArguments);
        return false;
    }
    const ns::Dictionary query = keychainQueryForService(service, account, accessGroup, false);
    if (password.empty()) {
        ns::SecItemDelete(query);
        report(error, kQRVInstanceIDKeychainBadArguments);
        return false;
    }
    // The value is changed in place when the item exists, so that a keychain
    // failure leaves the stored secret as it was; only a missing item is added.
    const ns::Data bytes = ns::crypto::toData(password);
    ns::OSStatus status = ns::SecItemUpdate(query, ns::Dictionary{{ns::kSecValueData, bytes}});
    if (status == ns::errSecItemNotFound) {
        ns::Dictionary item = query;
        item[ns::kSecValueData] = bytes;
        item[ns::kSecAttrAccessible] =
            accessibility.empty() ? ns::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly : accessibility;
        status = ns::SecItemAdd(item);
    }
    if (status != ns::errSecSuccess) {
        report(error, status);
        return false;
    }
    return true;
}

bool QRVInstanceIDAuthKeychain::removeAllItemsWithError(ns::ErrorRef* error) const {
    const ns::OSStatus status = ns::SecItemDelete(keychainQueryForService("*", "*", std::nullopt));
    if (status == ns::errSecSuccess || status == ns::errSecItemNotFound) return true;
    report(error, status);
    return false;
}

std::optional<std::string> QRVInstanceIDAuthKeychain::defaultAccessGroup() const {
    AccessGroupCache& cache = accessGroupCache();
    std::lock_guard lock(cache.mutex);
    if (cache.probed) return cache.group;
    cache.probed = true;
    ns::Dictionary probe = keychainQueryForService("instanceid.test", "temp", std::nullopt);
    probe[ns::kSecAttrSynchronizable] = false;
    ns::SecItemDelete(probe);
    ns::Dictionary item = probe;
    item[ns::kSecValueData] = ns::Data{};
    item[ns::kSecReturnAttributes] = true;
    ns::Value attributes;
    const ns::OSStatus status = ns::SecItemAdd(item, &attributes);
    if (status != ns::errSecSuccess) {
        QRVInstanceIDLoggerWarning(17000, "Could not determine the app's default Keychain access group (%d)",
                                   int(status));
        return std::nullopt;
    }
    if (const std::string* group = attributes[ns::kSecAttrAccessGroup].stringOrNull()) cache.group = *group;
    ns::SecItemDelete(probe);
    return cache.group;
}

void QRVInstanceIDAuthKeychain::resetForTesting() {
    AccessGroupCache& cache = accessGroupCache();
    std::lock_guard lock(cache.mutex);
    cache.probed = false;
    cache.group.reset();
}

// MARK: - Property lists

QRVInstanceIDBackupExcludedPlist::QRVInstanceIDBackupExcludedPlist(std::string fileName,
                                                                   std::string applicationSupportSubDirectory)
    : fileName_(std::move(fileName)), subDirectory_(std::move(applicationSupportSubDirectory)) {
    moveToApplicationSupportSubDirectory();
}

std::string QRVInstanceIDBackupExcludedPlist::pathWithName(const std::string& name, Directory directory) const {
    const ns::FileManager& files = ns::FileManager::defaultManager();
    if (directory == kApplicationSupport) {
        return files.pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" + subDirectory_ + "/" +
               name + ".plist";
    }
    return files.pathForDirectory(ns::SearchPathDirectory::Documents) + "/" + name + ".plist";
}

std::string QRVInstanceIDBackupExcludedPlist::plistPathInDirectory(Directory directory) const {
    return pathWithName(fileName_, directory);
}

bool QRVInstanceIDBackupExcludedPlist::doesFileExistInDirectory(Directory directory) const {
    return ns::FileManager::defaultManager().fileExists(plistPathInDirectory(directory));
}

bool QRVInstanceIDBackupExcludedPlist::doesFileExist() const { return doesFileExistInDirectory(plistDirectory()); }

void QRVInstanceIDBackupExcludedPlist::moveToApplicationSupportSubDirectory() {
    fileInApplicationSupport_ = moveToApplicationSupportSubDirectory(subDirectory_);
}

bool QRVInstanceIDBackupExcludedPlist::moveToApplicationSupportSubDirectory(const std::string& subDirectoryName) {
    const ns::FileManager& files = ns::FileManager::defaultManager();
    const std::string directory =
        files.pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" + subDirectoryName;
    if (!files.fileExists(directory)) return false;
    if (!doesFileExistInDirectory(kDocuments)) return true;
    if (doesFileExistInDirectory(kApplicationSupport)) return false;
    const std::string oldPath = plistPathInDirectory(kDocuments);
    const std::string newPath = directory + "/" + fileName_ + ".plist";
    ns::ErrorRef error;
    if (!files.moveItem(oldPath, newPath, &error)) {
        QRVInstanceIDLoggerError(6002, "Failed to move file %@ from %@ to %@. Error: %@", fileName_, oldPath, newPath,
                                 error);
        return false;
    }
    return true;
}

bool QRVInstanceIDBackupExcludedPlist::writeDictionary(const ns::Dictionary& dict, ns::ErrorRef* error) {
    const std::string path = plistPathInDirectory(plistDirectory());
    ns::ErrorRef writeError;
    if (!ns::plist::writeFile(path, ns::Value(dict), ns::plist::Format::XML, &writeError, 0600)) {
        QRVInstanceIDLoggerError(6000, "Failed to write to %@.plist", fileName_);
        return false;
    }
    cachedPlistContents_ = dict;
    if (error) *error = nullptr;
    const ns::FileManager& files = ns::FileManager::defaultManager();
    if (files.isExcludedFromBackup(path)) return true;
    ns::ErrorRef excludeError;
    if (!files.setExcludedFromBackup(path, true, &excludeError)) {
        if (error) *error = excludeError;
        QRVInstanceIDLoggerError(6001, "Error excluding %@ from backup, %@", fileName_ + ".plist",
                                 error ? ns::Value(std::const_pointer_cast<ns::Error>(excludeError)) : ns::Value(""));
        return false;
    }
    return true;
}

std::optional<ns::Dictionary> QRVInstanceIDBackupExcludedPlist::contentAsDictionary() {
    if (!cachedPlistContents_ && doesFileExist()) {
        ns::Value v = ns::plist::readFile(plistPathInDirectory(plistDirectory()));
        if (v.isDictionary()) cachedPlistContents_ = v.asDictionary();
    }
    return cachedPlistContents_;
}

bool QRVInstanceIDBackupExcludedPlist::deleteFile(ns::ErrorRef* error) {
    cachedPlistContents_.reset();
    if (!doesFileExist()) return true;
    return ns::FileManager::defaultManager().removeItem(plistPathInDirectory(plistDirectory()), error);
}
