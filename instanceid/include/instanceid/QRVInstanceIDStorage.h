#pragma once
// The two storage primitives of instance identity: generic-password
// keychain items (QRVInstanceIDAuthKeychain) and property-list files in
// Application Support that are never backed up
// (QRVInstanceIDBackupExcludedPlist). Neither knows what it stores; the
// check-in, key-pair and token stores name and fill them.
//
// Both run on the caller's thread and hold no locks; the default access
// group is worked out once per process under a once-only guard.

#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/keychain.h"
#include "platform/value.h"

inline constexpr const char* kQRVInstanceIDKeychainErrorDomain = "com.ondrix.iid";
inline constexpr const char* kQRVInstanceIDKeychainWildcardIdentifier = "*";
inline constexpr const char* kQRVInstanceIDApplicationSupportSubDirectory = "Ondrix/QuorvaneInstanceID";
// Status for bad arguments (errSecParam of the keychain's own table).
inline constexpr ns::OSStatus kQRVInstanceIDKeychainBadArguments = -1301;

class QRVInstanceIDAuthKeychain {
public:
    explicit QRVInstanceIDAuthKeychain(std::string identifier);

    const std::string& generic() const { return generic_; }

    // The query for a generic password; an empty or "*" service, account or
    // generic is left out (matches anything); the access group whenever given.
    // Without `wildcards` only empty attributes are left out, so that "*"
    // (the default token's scope) names one item of its own.
    static ns::Dictionary keychainQueryForService(const std::string& service, const std::string& account,
                                                  const std::optional<std::string>& accessGroup,
                                                  const std::string& generic, bool wildcards = true);
    ns::Dictionary keychainQueryForService(const std::string& service, const std::string& account,
                                           const std::optional<std::string>& accessGroup,
                                           bool wildcards = true) const;

    // Reads and writes name one item: "*" is taken literally there; removals
    // treat it as a wildcard.
    //
    // The item's value as text; nullopt with *error (domain "com.ondrix.iid",
    // the keychain status as code) when there is none.
    std::optional<std::string> passwordForService(const std::string& service, const std::string& account,
                                                  const std::optional<std::string>& accessGroup,
                                                  ns::ErrorRef* error = nullptr) const;
    // Nothing matched counts as success. With `wildcards` off, "*" names one item.
    bool removePasswordForService(const std::string& service, const std::string& account,
                                  const std::optional<std::string>& accessGroup, ns::ErrorRef* error = nullptr,
                                  bool wildcards = true) const;
    // Replaces the item's value in place, or adds the item; on a failure the
    // value stored before stays. An empty password removes the item and
    // reports -1301. `accessibility` empty: after first unlock, this device
    // only.
    bool setPassword(const std::string& password, const std::string& service, const std::string& accessibility,
                     const std::string& account, const std::optional<std::string>& accessGroup,
                     ns::ErrorRef* error = nullptr) const;
    // Every generic-password item carrying this object's generic value.
    bool removeAllItemsWithError(ns::ErrorRef* error = nullptr) const;

    // The application's default access group, probed once per process; nullopt
    // when the probe fails (warning 17000).
    std::optional<std::string> defaultAccessGroup() const;

    // Forgets the process-wide access group (tests that switch sandboxes).
    static void resetForTesting();

private:
    std::string generic_;
};

class QRVInstanceIDBackupExcludedPlist {
public:
    enum Directory : unsigned { kDocuments = 1, kApplicationSupport = 2 };

    // Runs the migration out of Documents at once.
    QRVInstanceIDBackupExcludedPlist(std::string fileName, std::string applicationSupportSubDirectory);

    const std::string& fileName() const { return fileName_; }
    bool fileInApplicationSupport() const { return fileInApplicationSupport_; }

    bool writeDictionary(const ns::Dictionary& dict, ns::ErrorRef* error = nullptr);
    bool deleteFile(ns::ErrorRef* error = nullptr);
    // The cached copy, or the file read once; nullopt when missing or unreadable.
    std::optional<ns::Dictionary> contentAsDictionary();
    bool doesFileExist() const;

    void moveToApplicationSupportSubDirectory();
    bool moveToApplicationSupportSubDirectory(const std::string& subDirectoryName);

    Directory plistDirectory() const { return fileInApplicationSupport_ ? kApplicationSupport : kDocuments; }
    std::string plistPathInDirectory(Directory directory) const;
    std::string pathWithName(const std::string& name, Directory directory) const;
    bool doesFileExistInDirectory(Directory directory) const;

private:
    std::string fileName_;
    std::string subDirectory_;
    bool fileInApplicationSupport_ = false;
    std::optional<ns::Dictionary> cachedPlistContents_;
};
