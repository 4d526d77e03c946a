#pragma once
// The server-driven settings of measurement: thirty-seven numeric settings
// (upload timing and limits, daily event limits, session timing, audience
// limits and switches), each with a default, a maximum and a minimum, and a
// per-event configuration (blacklisted, custom conversion). The server sends
// them as a `MeasurementConfig` message; this class checks a fetched message,
// stores it in the analytics database and reads it into two caches. It also
// builds the URL the message is fetched from and tells whether the stored one
// has expired.
//
// The engine owns one instance bound to its VLP app ID and database (held
// weakly: the engine owns the database). Before an engine exists,
// `defaultInstance()` hands out a shared instance that knows only the
// defaults and refuses every update and every database access.
//
// A server value is read when a getter first asks for it: text that is not a
// number, or a number outside the setting's bounds, gives the default (never
// the nearer bound), and what the getter answered is cached until the next
// configuration is parsed. Settings the configuration leaves out read as
// their defaults.
//
// Threads: the getters and the per-event look-ups may be called from any
// thread (both caches are confined to their own queues). A parse empties and
// refills each cache in steps, so a getter that runs during one may answer
// (and cache) a default. `updateMeasurementConfig` and
// `measurementConfigFromDatabase` touch the store, so they belong off the
// main thread; the engine calls them from its worker queue, and on the main
// thread they log 30001 and still run.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "analytics/QRVAPBMessages.h"
#include "core/QRVMutableDictionary.h"
#include "platform/guarded.h"
#include "platform/url.h"
#include "platform/value.h"

class QRVADatabase;

// The settings: kind, the name of their constants, getter, key, default,
// maximum, minimum. Kinds: Seconds (the server sends milliseconds; the getter
// answers seconds, and the bounds are in seconds), Int (32-bit), Int64 and
// Switch (read as Int; on exactly when the value is 1).
#define QRVA_REMOTE_CONFIG_SETTINGS(X)                                                                              \
    X(Seconds, UploadingBackoffInterval, uploadingBackoffInterval, "measurement.upload.backoff_period", 43200,      \
      604800, 3600)                                                                                                 \
    X(Switch, SearchAdReporterEnabled, isSearchAdReporterEnabled, "measurement.search_ad_enabled", 1, 1, 0)         \
    X(Int, MaxAudienceCount, maxAudienceCount, "measurement.audience.max_count", 50, 500, 0)                       \
    X(Int, MaxFiltersPerAudience, maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", 10,  \
      100, 0)                                                                                                       \
    X(Int, MaxFilterResultCount, maxFilterResultCount, "measurement.audience.filter_result_max_count", 200, 2000, 0) \
    X(Int, MaxParametersPerFilter, maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", 25,   \
      250, 0)                                                                                                       \
    X(Seconds, DatabaseDeleteStaleBundlesInterval, databaseDeleteStaleBundlesInterval,                              \
      "measurement.upload.stale_data_deletion_interval", 86400, 604800, 3600)                                       \
    X(Seconds, AdIDCacheTime, adIDCacheTime, "measurement.ad_id_cache_time", 1, 86400, 0)                           \
    X(Seconds, MaxQueueTime, maxQueueTime, "measurement.upload.max_queue_time", 2419200, 7862400, 604800)           \
    X(Seconds, MonitoringSamplePeriod, monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", 86400, \
      604800, 0)                                                                                                    \
    X(Switch, NetworkBackgroundSessionEnabled, isNetworkBackgroundSessionEnabled,                                   \
      "measurement.network.background_session_enabled", 0, 1, 0)                                                   \
    X(Seconds, NetworkTimeout, networkTimeout, "measurement.network.network_timeout", 60, 3600, 30)                 \
    X(Seconds, SessionDefaultMinimumInterval, sessionDefaultMinimumInterval,                                        \
      "measurement.session.default_minimum_interval", 10, 86400, 0)                                                 \
    X(Seconds, SessionDefaultTimeoutInterval, sessionDefaultTimeoutInterval,                                        \
      "measurement.session.default_timeout_interval", 1800, 86400, 0)                                               \
    X(Seconds, SessionEventUserEngagementInterval, sessionEventUserEngagementInterval,                              \
      "measurement.session.event_user_engagement_interval", 3600, 86400, 0)                                         \
    X(Switch, UploadWhenAppInBackgroundEnabled, uploadWhenAppInBackgroundEnabled,                                   \
      "measurement.upload.upload_when_app_in_background_enabled", 1, 1, 0)                                          \
    X(Switch, DedupePurchasesEnabled, dedupePurchasesEnabled, "measurement.upload.dedupe_purchases_enabled", 1, 1,  \
      0)                                                                                                            \
    X(Int, MaxConversionsPerDay, maxConversionsPerDay, "measurement.upload.max_conversions_per_day", 500, 1000000,  \
      0)                                                                                                            \
    X(Int, MaxEventsPerDay, maxEventsPerDay, "measurement.upload.max_events_per_day", 100000, 1000000, 0)           \
    X(Int, MaxPublicEventsPerDay, maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", 50000,     \
      1000000, 0)                                                                                                   \
    X(Int, MaxErrorEventsPerDay, maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", 1000,         \
      1000000, 0)                                                                                                   \
    X(Int, MaxTrackedCurrencies, maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", 4, 100, 1) \
    X(Int, MaxEventsStored, maxEventsStored, "measurement.store.max_stored_events_per_app", 100000, 1000000, 0)     \
    X(Seconds, UploadingInterval, uploadingInterval, "measurement.upload.interval", 3600, 86400, 15)                \
    X(Seconds, UploadingInitialDelayInterval, uploadingInitialDelayInterval,                                        \
      "measurement.upload.initial_upload_delay_time", 15, 86400, 1)                                                 \
    X(Int64, UploadMaxBundlesLimit, uploadMaxBundlesLimit, "measurement.upload.max_bundles", 100, 10000, 1)         \
    X(Int64, UploadMaxEventsPerBundle, uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", 1000,  \
      1000000, 1)                                                                                                   \
    X(Int64, UploadMaxSizeLimitBytes, uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", 65536,          \
      10485760, 0)                                                                                                  \
    X(Int, UploadingRetryCount, uploadingRetryCount, "measurement.upload.retry_count", 6, 24, 1)                    \
    X(Seconds, UploadingRetryInterval, uploadingRetryInterval, "measurement.upload.retry_time", 1800, 86400, 60)    \
    X(Int, MaxBundlesCreatedPerIteration, maxBundlesCreatedPerIteration,                                            \
      "measurement.upload.max_bundles_created_per_iteration", 100, 10000, 1)                                        \
    X(Int, MaxRealtimeEventCountPerDay, maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", \
      10, 10, 0)                                                                                                    \
    X(Seconds, UploadingDebugModeInterval, uploadingDebugModeInterval, "measurement.upload.debug_upload_interval",  \
      1, 15, 1)                                                                                                     \
    X(Seconds, UploadingRealTimeInterval, uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", \
      10, 15, 10)                                                                                                   \
    X(Switch, BlacklistInternal, blacklistInternal, "measurement.upload.blacklist_internal", 0, 1, 0)               \
    X(Switch, BlacklistPublic, blacklistPublic, "measurement.upload.blacklist_public", 0, 1, 0)                     \
    X(Seconds, RemoteConfigCacheTimeInterval, remoteConfigCacheTimeInterval, "measurement.config.cache_time", 3600, \
      86400, 60)

// The type of each kind's constants and of its getter's answer.
#define QRVA_SETTING_CONSTANT_Seconds double
#define QRVA_SETTING_CONSTANT_Int int32_t
#define QRVA_SETTING_CONSTANT_Int64 int32_t
#define QRVA_SETTING_CONSTANT_Switch int32_t
#define QRVA_SETTING_ANSWER_Seconds double
#define QRVA_SETTING_ANSWER_Int int32_t
#define QRVA_SETTING_ANSWER_Int64 int64_t
#define QRVA_SETTING_ANSWER_Switch bool

// kQRVAConfig<Name>, kQRVAConfig<Name>Max and kQRVAConfig<Name>Min.
#define QRVA_DECLARE_SETTING_CONSTANTS(kind, Name, getter, key, defaultValue, maxValue, minValue) \
    inline constexpr QRVA_SETTING_CONSTANT_##kind kQRVAConfig##Name = defaultValue;                 \
    inline constexpr QRVA_SETTING_CONSTANT_##kind kQRVAConfig##Name##Max = maxValue;                \
    inline constexpr QRVA_SETTING_CONSTANT_##kind kQRVAConfig##Name##Min = minValue;
QRVA_REMOTE_CONFIG_SETTINGS(QRVA_DECLARE_SETTING_CONSTANTS)
#undef QRVA_DECLARE_SETTING_CONSTANTS

// What a setting's transform receives (the parsed number, or null for text
// that is not one) and answers (the number to check against the bounds, or
// null for the default).
using QRVASettingTransform = std::function<ns::Value(const ns::Value& parsed)>;

class QRVARemoteConfig {
public:
    // The shared instance that knows only the defaults, made once.
    static std::shared_ptr<QRVARemoteConfig> defaultInstance();
    // nullptr for an empty app ID (29000) or a null database (29001);
    // otherwise the instance with the configuration stored in the database.
    static std::shared_ptr<QRVARemoteConfig> initWithVLPAppID(const std::string& appID,
                                                              const std::shared_ptr<QRVADatabase>& database);
    // The default instance when both the app ID and the database are
    // missing. Otherwise the given configuration is applied (and stored)
    // with updateMeasurementConfig, or without one the stored configuration
    // is loaded and parsed.
    static std::shared_ptr<QRVARemoteConfig> initWithVLPAppID(
        const std::string& appID, const std::shared_ptr<QRVADatabase>& database,
        const std::shared_ptr<QRVAPBMeasurementConfig>& measurementConfig);

    // Stores a fetched configuration and puts it in force. False, with
    // nothing changed, on the default instance (29002), for no configuration
    // (29003), one for another app ID (29004), or one the store refuses
    // (29005, with the store's error).
    bool updateMeasurementConfig(const std::shared_ptr<QRVAPBMeasurementConfig>& config);

    // The configuration of an event (by the name the configuration gave it,
    // or by its internal short name where it has one); nullptr for none, and
    // for an empty name (29006).
    std::shared_ptr<QRVAPBEventConfig> eventConfigWithName(const std::string& name);
    // Blacklisted by its configuration, else by blacklistPublic for a public
    // name and blacklistInternal for any other.
    bool isEventBlacklisted(const std::string& name);
    bool isEventCustomConversion(const std::string& name);

    // Whether the last good fetch lies remoteConfigCacheTimeInterval or more
    // away from now (ns::Clock); a configuration never fetched has expired.
    // The default instance answers false (29007).
    bool isExpired();
    // The version of the configuration in force; -1 when there is none or
    // it has no version.
    int64_t version();
    // Seconds since 1970 of the last good fetch, 0 for never (and on the
    // default instance, 29008; a failed query is logged, 29009).
    double lastRemoteConfigUpdateTimestamp();

    // https://<measurement host>/config/app/<app ID>?app_instance_id=..&
    // platform=..&vlp_version=..; nullopt when the app instance ID or the
    // platform is empty (29010), or the app ID makes no URL.
    std::optional<ns::URL> remoteConfigURLWithAppInstanceID(const std::string& appInstanceID,
                                                            const std::string& platform, int64_t sdkVersion);

#define QRVA_DECLARE_SETTING_GETTER(kind, Name, getter, key, defaultValue, maxValue, minValue) \
    QRVA_SETTING_ANSWER_##kind getter();
    QRVA_REMOTE_CONFIG_SETTINGS(QRVA_DECLARE_SETTING_GETTER)
#undef QRVA_DECLARE_SETTING_GETTER

    // The reading machinery behind the getters.
    //
    // Reads the configuration's settings and event configurations into the
    // caches (emptied first); a configuration without a record (29012) or
    // for another app ID changes nothing.
    void parseRemoteConfigFromMeasurementConfig(const std::shared_ptr<QRVAPBMeasurementConfig>& config);
    // The stored configuration; nullptr when there is none (29017), the
    // query fails (29016, with the store's error) or on the default instance
    // (29015).
    std::shared_ptr<QRVAPBMeasurementConfig> measurementConfigFromDatabase();
    // The number a setting's text holds, read exactly: an integer within
    // 64 bits as an integer, anything else as a double; null for text that is
    // not a number, and for a non-string (29018).
    ns::Value numberFromString(const ns::Value& object);
    // Stores the value; a null value or an empty key is refused (29019) and
    // answers null.
    ns::Value cacheValue(const ns::Value& value, const std::string& key);
    // A setting: the cached number, or the server's text parsed (and
    // transformed) and checked against the bounds (a null bound is no
    // bound), the default in its place when it fails; what it answers is
    // cached. An empty key answers null (29020).
    ns::Value numberFromCacheWithKey(const std::string& key, const ns::Value& defaultValue, const ns::Value& maxValue,
                                     const ns::Value& minValue, const QRVASettingTransform& block = nullptr);
    double timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue, double maxValue,
                                                 double minValue);
    int32_t intValueFromCacheWithKey(const std::string& key, int32_t defaultValue, int32_t maxValue,
                                     int32_t minValue);
    // A number 64 bits cannot hold is the default, with bounds or without.
    int64_t int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue, int64_t maxValue,
                                       int64_t minValue);
    int64_t int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue);

    // Not for callers: made by the initialisers.
    QRVARemoteConfig(std::string appID, const std::shared_ptr<QRVADatabase>& database);

private:
    // The int kind, on exactly when the value is 1.
    bool switchValueFromCacheWithKey(const std::string& key, int32_t defaultValue, int32_t maxValue,
                                     int32_t minValue);

    bool isDefaultInstance_;
    std::string appIDFromVLP_;
    std::weak_ptr<QRVADatabase> database_;
    QRVMutableDictionary cachedValueByRemoteConfigKeys_;
    QRVMutableDictionary cachedEventConfigByEventName_;
    ns::Guarded<std::shared_ptr<QRVAPBMeasurementConfig>> remoteConfigProto_;
};
