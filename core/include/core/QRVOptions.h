#pragma once
// The configuration of one app, read from `OndrixService-Info.plist`.
// Immutable: an app hands out copies, so nobody can change the options an
// app was configured with.

#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/value.h"

// Keys of the options file.
inline constexpr const char* kQRVOptionsFileName = "OndrixService-Info";
inline constexpr const char* kQRVOptionsKeyOndrixAppID = "ONDRIX_APP_ID";
inline constexpr const char* kQRVOptionsKeyAPIKey = "API_KEY";
inline constexpr const char* kQRVOptionsKeyClientID = "CLIENT_ID";
inline constexpr const char* kQRVOptionsKeySenderID = "KDX_SENDER_ID";
inline constexpr const char* kQRVOptionsKeyProjectID = "PROJECT_ID";
inline constexpr const char* kQRVOptionsKeyDatabaseURL = "DATABASE_URL";
inline constexpr const char* kQRVOptionsKeyStorageBucket = "STORAGE_BUCKET";
inline constexpr const char* kQRVOptionsKeyBundleID = "BUNDLE_ID";
inline constexpr const char* kQRVOptionsKeyAnalyticsCollectionDeactivated = "QUORVANE_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* kQRVOptionsKeyAnalyticsCollectionEnabled = "QUORVANE_ANALYTICS_COLLECTION_ENABLED";

// Name of the exception raised for an options file that cannot be used.
inline constexpr const char* kQRVInvalidOptionsException = "QRVInvalidOptionsException";

class QRVOptions : public ns::Object {
public:
    // The options of the main bundle's "OndrixService-Info.plist", read once
    // per process; nullptr when the file is absent. A file that exists but
    // cannot be used (not a property list, not a dictionary, a key of the
    // wrong type) raises QRVInvalidOptionsException naming the file.
    static std::shared_ptr<const QRVOptions> defaultOptions();

    // Options from a property-list file; raises as above, and also when the
    // file is missing.
    static std::shared_ptr<const QRVOptions> optionsWithContentsOfFile(const std::string& path);

    // Options from a dictionary of the file's keys. Raises
    // QRVInvalidOptionsException when a known key has the wrong type.
    explicit QRVOptions(ns::Dictionary dictionary, bool fromDefaultPlist = false, std::string sourcePath = {});

    std::shared_ptr<const QRVOptions> copy() const;

    std::optional<std::string> ondrixAppID() const { return string(kQRVOptionsKeyOndrixAppID); }
    std::optional<std::string> APIKey() const { return string(kQRVOptionsKeyAPIKey); }
    std::optional<std::string> clientID() const { return string(kQRVOptionsKeyClientID); }
    std::optional<std::string> KDXSenderID() const { return string(kQRVOptionsKeySenderID); }
    std::optional<std::string> projectID() const { return string(kQRVOptionsKeyProjectID); }
    std::optional<std::string> databaseURL() const { return string(kQRVOptionsKeyDatabaseURL); }
    std::optional<std::string> storageBucket() const { return string(kQRVOptionsKeyStorageBucket); }
    std::optional<std::string> bundleID() const { return string(kQRVOptionsKeyBundleID); }

    bool usingOptionsFromDefaultPlist() const { return fromDefaultPlist_; }

    // Info.plist first, then the options file; NO when absent in both.
    bool isAnalyticsCollectionDeactivated() const;
    // Info.plist first, then the options file; YES when absent in both.
    bool isAnalyticsCollectionEnabled() const;

    const ns::Dictionary& dictionary() const { return dictionary_; }
    const std::string& sourcePath() const { return sourcePath_; }

    std::string className() const override { return "QRVOptions"; }
    std::string description() const override;

    // Forgets the cached default options (tests change the bundle).
    static void resetForTesting();

private:
    std::optional<std::string> string(const char* key) const;
    bool analyticsSwitch(const char* key, bool fallback) const;

    ns::Dictionary dictionary_;
    bool fromDefaultPlist_;
    std::string sourcePath_;
};
