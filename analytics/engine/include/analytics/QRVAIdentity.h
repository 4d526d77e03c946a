#pragma once
// The installation as every measurement bundle names it: the app's bundle
// identifier and version numbers, the app ID of the options, the app
// instance ID (a random ID kept for the installation and renewed when the
// advertising identifier changes), the advertising identifier with its
// limited-tracking flag, the identifier for vendor, and instance identity's
// identifier.
//
// One per process (`sharedInstance()`); the engine takes it as its identity
// and the facade reads its app instance ID. The app instance ID and the hash
// of the last advertising identifier seen live in the persisted measurement
// state, so they outlive the process.
//
// Threads: any thread may call it. `updateIdentifiers` (run by the
// refreshing getters) reads the platform outside the identity's lock and
// stores under it; `identifierForVendor` reads the device on the main thread
// the first time, waiting for the main queue when called from elsewhere, so
// a caller off the main thread must not hold up the main queue meanwhile.
//
// Instance identity is reached only by its runtime class name
// ("QRVInstanceID": `instanceID`, `appInstanceID:`), so the analytics client
// does not link it; without it the identity has no instance-identity ID.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QRVAPersistedConfig;
class QRVOptions;

// The analytics client's version as text; the library version is this with
// its last three characters dropped.
inline constexpr const char* kQRVAAnalyticsVersionString = "40002000";

class QRVAIdentity {
public:
    // Made once per process from the shared persisted state and the default
    // options (the bundle's OndrixService-Info.plist). nullptr (logged, 20003,
    // on each call) when that could not be made.
    static std::shared_ptr<QRVAIdentity> sharedInstance();
    // Stands for a new process: the next sharedInstance() is made afresh.
    static void resetSharedForTesting();

    // nullptr (logged, 20004) without persisted state. Options without an app
    // ID (or none at all) are logged (20006) and the identity is made anyway.
    // Makes and persists an app instance ID when none is stored.
    static std::shared_ptr<QRVAIdentity> initWithPersistedConfig(std::shared_ptr<QRVAPersistedConfig> persistedConfig,
                                                                 std::shared_ptr<const QRVOptions> options);

    // 40002: kQRVAAnalyticsVersionString without its last three characters.
    static int64_t quorvaneAnalyticsLibraryVersion();
    // The numbers of a dotted version ("2.10b.3" -> 2, 10, 3): empty pieces
    // are skipped, characters that are not decimal digits dropped (each piece
    // that had any logged, 20002) and a piece left without digits reads 0.
    static std::vector<int32_t> numericFieldsFromAppVersionNumeric(std::string_view version);

    // These four refresh the advertising fields first (updateIdentifiers).
    // 32 upper-case hex digits.
    std::string appInstanceID();
    // The advertising identifier last read; nullopt before a usable one.
    std::optional<std::string> resettableDeviceID();
    bool limitedAdTracking();
    // Lower-case hex MD5 of the last advertising identifier seen.
    std::optional<std::string> hashedIDFA();
    // Whether the limited-tracking flag can be read at all (an advertising
    // manager is in the process).
    bool hasLimitedAdTracking();
    // nullopt while an advertising identifier is known; else the device's
    // identifier for vendor, read once.
    std::optional<std::string> identifierForVendor();
    bool isFromAppStore() const;

    std::optional<std::string> appIDFromVLP() const;
    // An empty ID is refused (logged, 20005); otherwise only the first call
    // made on this identity takes effect.
    void setAppIDFromVLP(const std::string& appID);
    // The app ID the stored measurement data belongs to, when the options now
    // name another one: the stored data is another app's, and whoever starts
    // measurement clears it before recording the new ID. nullopt when either
    // ID is missing or empty, or they are the same.
    static std::optional<std::string> changedAppIDFromVLP(QRVAPersistedConfig& persistedConfig,
                                                          const QRVOptions& options);
    // Instance identity's identifier for this installation; nullopt (logged,
    // 20001, with instance identity's error) when it has none.
    std::optional<std::string> quorvaneInstanceID() const;

    // The main bundle's identifier ("" when it has none).
    const std::string& appID() const { return appID_; }
    // Info.plist "CFBundleShortVersionString".
    const std::optional<std::string>& appVersion() const { return appVersion_; }
    // The first three numbers of Info.plist "CFBundleVersion".
    std::optional<int32_t> appVersionMajor() const { return appVersionMajor_; }
    std::optional<int32_t> appVersionMinor() const { return appVersionMinor_; }
    std::optional<int32_t> appVersionRelease() const { return appVersionRelease_; }
    // Never set: the bundle field stays 0.
    int64_t devCertHash() const { return 0; }

    // A fresh random UUID without its dashes: 32 upper-case hex digits.
    static std::string randomAppInstanceID();

    // Reads the advertising identifier and flag, at most once per
    // adIDCacheTime. A usable identifier (non-empty, not all zeros) whose hash
    // differs from the persisted one is recorded; when another one had been
    // recorded before, the app instance ID is renewed. The first one seen
    // keeps the app instance ID it finds. An app instance ID no longer
    // stored (the persisted state was cleared) is replaced by a new one,
    // stored before it is handed out.
    void updateIdentifiers();
    // The persisted state was cleared under this identity (the engine wiped
    // another app's data): the cached advertising fields are read again and
    // a new app instance ID is stored now, before any event carries one.
    void reloadAfterPersistedStateCleared();

    // Not for callers: made by initWithPersistedConfig.
    QRVAIdentity(std::shared_ptr<QRVAPersistedConfig> persistedConfig, const QRVOptions* options);

private:
    std::shared_ptr<QRVAPersistedConfig> persistedConfig_;
    std::string appID_;
    std::optional<std::string> appVersion_;
    std::optional<int32_t> appVersionMajor_;
    std::optional<int32_t> appVersionMinor_;
    std::optional<int32_t> appVersionRelease_;

    // Everything below changes after creation and is read and written under
    // the lock (C++ gives no safe unlocked read of a string being replaced).
    mutable std::mutex mutex_;
    std::optional<std::string> appIDFromVLP_;
    bool appIDFromVLPWasSet_ = false;
    std::optional<double> lastAppInstanceIDUpdateTimestamp_;
    std::optional<std::string> hashedIDFA_;
    std::optional<std::string> resettableDeviceID_;
    std::string appInstanceID_;
    bool limitedAdTracking_ = false;
    std::optional<std::string> identifierForVendorString_;
    bool identifierForVendorRead_ = false;
};
