#pragma once
// The small state of measurement that must outlive the process but does not
// belong in the analytics store: upload and back-off times, the app instance
// ID, the app ID the store belongs to, session and engagement bookkeeping,
// search-ad look-up state, the last seen app and OS versions, the day
// boundary's offset and the configuration server's Last-Modified value.
//
// Kept in the user-defaults suite "com.ondrix.vlp.measurement", whose file
// is excluded from backup. Every typed read and write is serialised on the
// state's own queue ("QRVAPersistedConfig"), so a write is complete when its
// setter returns. Writes schedule one synchronisation 1 s after the last of
// a burst, timed by ns::Clock on that same queue, whichever thread wrote.
//
// Any thread may call these, except from a block already running on the
// state's own queue.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/QRVApp.h"
#include "platform/value.h"

namespace ns {
class DispatchQueue;
class UserDefaults;
}  // namespace ns

inline constexpr const char* kQRVAPersistedConfigName = "com.ondrix.vlp.measurement";

inline constexpr const char* kQRVAPersistedConfigLastDeleteStaleBundlesTimestampKey =
    "/ondrix/measurement/last_delete_stale";
inline constexpr const char* kQRVAPersistedConfigSearchAdCampaignValueKey = "/ondrix/measurement/is_search_ad_campaign";
inline constexpr const char* kQRVAPersistedConfigLastSearchAdLookUpTimestampKey =
    "/ondrix/measurement/search_ad_last_attempt_timestamp";
inline constexpr const char* kQRVAPersistedConfigSearchAdRetryCountKey = "/ondrix/measurement/search_ad_number_of_retries";
inline constexpr const char* kQRVAPersistedConfigAppInstanceIDKey = "/ondrix/measurement/app_instance_id";
inline constexpr const char* kQRVAPersistedConfigAppIDFromVLPKey = "/ondrix/measurement/vlp_app_id";
inline constexpr const char* kQRVAPersistedConfigHashedIDFAKey = "/ondrix/measurement/hashed_idfa";
// kQRVAPersistedConfigMeasurementEnabledStateKey (core/QRVApp.h) is in the
// standard defaults, written by the core: 1 enabled, 2 disabled.
inline constexpr const char* kQRVAPersistedConfigLastBackoffTimestampKey = "/ondrix/measurement/last_backoff";
inline constexpr const char* kQRVAPersistedConfigLastSuccessfulUploadTimestampKey =
    "/ondrix/measurement/last_successful_upload";
inline constexpr const char* kQRVAPersistedConfigLastFailedUploadTimestampKey = "/ondrix/measurement/last_failed_upload";
inline constexpr const char* kQRVAPersistedConfigAppVersionKey = "/ondrix/measurement/app_version";
inline constexpr const char* kQRVAPersistedConfigOSVersionKey = "/ondrix/measurement/os_version";
inline constexpr const char* kQRVAPersistedConfigMidnightOffsetKey = "/ondrix/measurement/midnight_offset";
inline constexpr const char* kQRVAPersistedConfigLastMonitorDataSampledTimestampKey =
    "/ondrix/measurement/last_monitor_data_sampled_timestamp";
inline constexpr const char* kQRVAPersistedConfigFirstOpenTimestampMillisecondsKey =
    "/ondrix/measurement/first_open_timestamp_ms";
inline constexpr const char* kQRVAPersistedConfigFirstOpenCountToStoreKey =
    "/ondrix/measurement/first_open_count_to_store";
inline constexpr const char* kQRVAPersistedConfigConfigServerLastModifiedStringKey =
    "/ondrix/measurement/last_modified_since_key";
inline constexpr const char* kQRVAPersistedConfigStartNewSessionKey = "/ondrix/measurement/start_new_session";
inline constexpr const char* kQRVAPersistedConfigLastEngagementCheckpointClockTimeKey =
    "/ondrix/measurement/last_engagement_end";
inline constexpr const char* kQRVAPersistedConfigEngagementTimeBeforeSessionStartKey =
    "/ondrix/measurement/et_before_session_start";
// The monitor's key in the standard defaults; this class leaves it alone.
inline constexpr const char* kQRVAPersistedConfigDebugModeKey = "/ondrix/measurement/debug_mode";

class QRVAPersistedConfig : public std::enable_shared_from_this<QRVAPersistedConfig> {
public:
    // The one instance on kQRVAPersistedConfigName, made on first use.
    static std::shared_ptr<QRVAPersistedConfig> sharedInstance();
    // Stands for a new process: the next sharedInstance() is a fresh one.
    static void resetSharedForTesting();
    // nullptr for an empty name.
    static std::shared_ptr<QRVAPersistedConfig> initWithSuiteName(const std::string& name);
    explicit QRVAPersistedConfig(const std::string& name);

    const std::string& name() const { return name_; }
    // Removes every value of the suite (not the standard defaults' switch).
    void clearValues();
    // Why the suite's stored values could not be read (a read failure, not
    // damage), or nullptr: a value missing then may be stored all the same.
    ns::ErrorRef readError();

    double lastDeleteStaleBundlesTimestamp();
    void setLastDeleteStaleBundlesTimestamp(double seconds);
    // A number, or null; read and written on the suite directly, and the
    // setter ignores anything but a number and schedules no synchronisation.
    ns::Value searchAdCampaignValue();
    void setSearchAdCampaignValue(const ns::Value& value);
    double lastSearchAdLookUpTimestamp();
    void setLastSearchAdLookUpTimestamp(double seconds);
    int64_t searchAdRetryCount();
    void setSearchAdRetryCount(int64_t count);
    std::optional<std::string> appInstanceID();
    // Written through to disk at once: every bundle carries the ID, so it
    // must be stored before the first event that carries it is.
    void setAppInstanceID(const std::optional<std::string>& value);
    std::optional<std::string> appIDFromVLP();
    void setAppIDFromVLP(const std::optional<std::string>& value);
    std::optional<std::string> hashedIDFA();
    void setHashedIDFA(const std::optional<std::string>& value);
    // 1 enabled, 2 disabled, 0 never set (the standard defaults).
    int64_t measurementEnabledState();
    double lastBackoffTimestamp();
    void setLastBackoffTimestamp(double seconds);
    double lastSuccessfulUploadTimestamp();
    void setLastSuccessfulUploadTimestamp(double seconds);
    double lastFailedUploadTimestamp();
    void setLastFailedUploadTimestamp(double seconds);
    std::optional<std::string> appVersion();
    void setAppVersion(const std::optional<std::string>& value);
    std::optional<std::string> osVersion();
    void setOSVersion(const std::optional<std::string>& value);
    // Seconds (whole milliseconds) below one day, drawn once per install.
    double midnightOffset();
    double lastMonitorDataSampledTimestamp();
    void setLastMonitorDataSampledTimestamp(double seconds);
    int64_t firstOpenTimestampMilliseconds();
    void setFirstOpenTimestampMilliseconds(int64_t milliseconds);
    // The keychain's first-open count a first open about to be stored means
    // to leave; 0 once it is counted (or when none is under way).
    int64_t firstOpenCountToStore();
    void setFirstOpenCountToStore(int64_t count);
    // The stored value when it is a string.
    std::optional<std::string> configServerLastModifiedString();
    void setConfigServerLastModifiedString(const std::optional<std::string>& value);
    // The setter schedules no synchronisation.
    bool startNewSession();
    void setStartNewSession(bool value);
    double lastEngagementCheckpointClockTime();
    void setLastEngagementCheckpointClockTime(double seconds);
    double engagementTimeBeforeSessionStart();
    void setEngagementTimeBeforeSessionStart(double seconds);

    // Typed access. A number reads as its value, anything else as 0; a null
    // string removes the key.
    int64_t int64ForKey(const std::string& key);
    int64_t int64ForKey(const std::string& key, ns::UserDefaults& userDefaults);
    double doubleForKey(const std::string& key);
    std::optional<std::string> stringForKey(const std::string& key);
    void setInt64(int64_t value, const std::string& key);
    void setDouble(double value, const std::string& key);
    void setString(const std::optional<std::string>& value, const std::string& key);

    // One synchronisation 1 s from now, replacing any still pending.
    void scheduleSynchronizeToDisk();
    // At once (the app is going to the background or ending).
    void synchronizeToDisk();

    // How many synchronisations ran.
    int64_t synchronizationCountForTesting() const { return synchronizations_.load(); }

private:
    void scheduleSynchronizeToDiskOnQueue();
    void synchronizeToDiskOnQueue();
    void setValueOnQueue(const ns::Value& value, const std::string& key, bool scheduleSynchronize);

    std::string name_;
    std::shared_ptr<ns::UserDefaults> userDefaults_;
    std::shared_ptr<ns::DispatchQueue> serialQueue_;
    std::once_flag excludeBackupOnce_;
    // Which scheduled synchronisation is the live one; on the queue only.
    uint64_t synchronizeGeneration_ = 0;
    std::atomic<int64_t> synchronizations_{0};
};
