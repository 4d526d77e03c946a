#include "analytics/QRVARemoteConfig.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "analytics/QRVAConstants.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUtilities.h"
#include "platform/clock.h"
#include "platform/decimal_number.h"
#include "platform/format.h"

namespace {

namespace MC = QRVAPBField::MeasurementConfig;


// The number of a decimal: an integer when it is whole and fits 64 bits
// (read through its plain text, so the conversion is checked rather than
// cast), otherwise the nearest double, which the bounds then refuse when it
// is far out.
ns::Value numberFromDecimal(const ns::DecimalNumber& number) {
    static const auto kInt64Min = ns::DecimalNumber::fromInt64(std::numeric_limits<int64_t>::min());
    static const auto kInt64Max = ns::DecimalNumber::fromInt64(std::numeric_limits<int64_t>::max());
    if (number.compare(kInt64Min) >= 0 && number.compare(kInt64Max) <= 0) {
        const std::string text = number.description();
        int64_t whole = 0;
        auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), whole);
        if (failure == std::errc() && end == text.data() + text.size()) return ns::Value(whole);
    }
    return ns::Value(number.doubleValue());
}

// The whole part of a number when it fits 64 bits; nullopt for null, a
// non-number, NaN or anything out of range. Server values are arbitrary text,
// and converting a double outside the range of int64 is undefined.
std::optional<int64_t> wholeInt64(const ns::Value& number) {
    if (number.isInteger()) {
        if (number.type() == ns::Value::Type::UInt && number.asUInt() > uint64_t(INT64_MAX)) return std::nullopt;
        return number.intValue();
    }
    if (!number.isDouble()) return std::nullopt;
    const double value = std::trunc(number.asDouble());
    if (!(value >= -0x1p63 && value < 0x1p63)) return std::nullopt;
    return static_cast<int64_t>(value);
}

// -1, 0 or 1. Integers compare as integers; once a double is involved both
// compare as long doubles, which hold every int64 and every double exactly.
int compareNumbers(const ns::Value& a, const ns::Value& b) {
    if (a.type() == ns::Value::Type::Int && b.type() == ns::Value::Type::Int) {
        const int64_t x = a.asInt(), y = b.asInt();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    const auto longDouble = [](const ns::Value& v) {
        if (v.type() == ns::Value::Type::Int) return static_cast<long double>(v.asInt());
        if (v.type() == ns::Value::Type::UInt) return static_cast<long double>(v.asUInt());
        return static_cast<long double>(v.asDouble());
    };
    const long double x = longDouble(a), y = longDouble(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Server values of the seconds kind are whole milliseconds (a fraction is
// dropped).
ns::Value millisecondsToSeconds(const ns::Value& parsed) {
    const auto milliseconds = wholeInt64(parsed);
    return milliseconds ? ns::Value(static_cast<double>(*milliseconds) / 1000.0) : ns::Value();
}

// The 64-bit kinds take no number that 64 bits cannot hold: without bounds
// it would otherwise be cut to the nearest end of the range.
ns::Value withinInt64(const ns::Value& parsed) { return wholeInt64(parsed) ? parsed : ns::Value(); }

// Never destroyed: the worker queue may build a URL while the process ends.
const std::string& remoteConfigURLFormat() {
    static const auto* kFormat = new std::string(std::string("https://") + kQRVAMeasurementHost + "/config/app/%@?");
    return *kFormat;
}

}  // namespace

QRVARemoteConfig::QRVARemoteConfig(std::string appID, const std::shared_ptr<QRVADatabase>& database)
    : isDefaultInstance_(appID.empty() && !database), appIDFromVLP_(std::move(appID)), database_(database) {}

std::shared_ptr<QRVARemoteConfig> QRVARemoteConfig::defaultInstance() {
    // Never destroyed: getters may run on other threads while the process ends.
    static const auto* instance = new std::shared_ptr<QRVARemoteConfig>(initWithVLPAppID("", nullptr, nullptr));
    return *instance;
}

std::shared_ptr<QRVARemoteConfig> QRVARemoteConfig::initWithVLPAppID(const std::string& appID,
                                                                     const std::shared_ptr<QRVADatabase>& database) {
    if (appID.empty()) {
        QRVALog(1, 29000, "Cannot init remote configuration without valid VLP App ID");
        return nullptr;
    }
    if (!database) {
        QRVALog(1, 29001, "Cannot init remote configuration without valid database");
        return nullptr;
    }
    return initWithVLPAppID(appID, database, nullptr);
}

std::shared_ptr<QRVARemoteConfig> QRVARemoteConfig::initWithVLPAppID(
    const std::string& appID, const std::shared_ptr<QRVADatabase>& database,
    const std::shared_ptr<QRVAPBMeasurementConfig>& measurementConfig) {
    auto config = std::make_shared<QRVARemoteConfig>(appID, database);
    if (config->isDefaultInstance_) return config;
    if (measurementConfig) {
        config->updateMeasurementConfig(measurementConfig);
    } else if (auto stored = config->measurementConfigFromDatabase()) {
        config->remoteConfigProto_.set(stored);
        config->parseRemoteConfigFromMeasurementConfig(stored);
    }
    return config;
}

bool QRVARemoteConfig::updateMeasurementConfig(const std::shared_ptr<QRVAPBMeasurementConfig>& config) {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
    if (isDefaultInstance_) {
        QRVALog(1, 29002, "Cannot update the default measurement configuration");
        return false;
    }
    if (!config) {
        QRVAMeasurementMonitor()->logWithLevel(4, 29003, "Cannot set empty measurement config to database");
        return false;
    }
    if (NANOGetString(config, MC::app_id) != appIDFromVLP_) {
        QRVALog(1, 29004, "Cannot set measurement config when VLP App ID does not match");
        return false;
    }
    ns::ErrorRef error;
    auto database = database_.lock();
    const bool stored = database && database->updateRemoteConfig(config, &error);
    // As with every store call, only a refusal that comes with an error is a
    // failure.
    if (!stored && error) {
        QRVAMeasurementMonitor()->logWithLevel(1, 29005, "Cannot store config into the database",
                                               QRVAErrorContext(error));
        return false;
    }
    remoteConfigProto_.set(config);
    parseRemoteConfigFromMeasurementConfig(config);
    return true;
}

std::shared_ptr<QRVAPBEventConfig> QRVARemoteConfig::eventConfigWithName(const std::string& name) {
    if (name.empty()) {
        QRVAMeasurementMonitor()->logWithLevel(4, 29006, "Cannot find event config with empty event name");
        return nullptr;
    }
    return cachedEventConfigByEventName_.objectForKey(name).asObjectOf<QRVAPBEventConfig>();
}

bool QRVARemoteConfig::isEventBlacklisted(const std::string& name) {
    auto config = eventConfigWithName(name);
    if (config && NANOHasField(config, QRVAPBField::EventConfig::blacklisted) &&
        NANOGetBool(config, QRVAPBField::EventConfig::blacklisted)) {
        return true;
    }
    return QRVAEventUtilIsPublicName(name) ? blacklistPublic() : blacklistInternal();
}

bool QRVARemoteConfig::isEventCustomConversion(const std::string& name) {
    auto config = eventConfigWithName(name);
    return config && NANOHasField(config, QRVAPBField::EventConfig::custom_conversion) &&
           NANOGetBool(config, QRVAPBField::EventConfig::custom_conversion);
}

bool QRVARemoteConfig::isExpired() {
    if (isDefaultInstance_) {
        QRVALog(1, 29007, "Cannot fetch the last update timestamp from the default configuration");
        return false;
    }
    return std::fabs(ns::Clock::nowSeconds() - lastRemoteConfigUpdateTimestamp()) >= remoteConfigCacheTimeInterval();
}

int64_t QRVARemoteConfig::version() {
    auto config = remoteConfigProto_.get();
    if (!config || !NANOHasField(config, MC::version)) return -1;
    return NANOGetInt64(config, MC::version);
}

double QRVARemoteConfig::lastRemoteConfigUpdateTimestamp() {
    if (isDefaultInstance_) {
        QRVALog(1, 29008, "Cannot fetch the last configuration update timestamp from the default instance");
        return 0;
    }
    auto database = database_.lock();
    if (!database) return 0;
    ns::ErrorRef error;
    auto timestamp = database->lastRemoteConfigUpdateTimestamp(&error);
    if (!timestamp && error) {
        QRVAMeasurementMonitor()->logWithLevel(4, 29009, "Failed to query last configuration update timestamp. Error",
                                               QRVAErrorContext(error));
    }
    return timestamp.value_or(0);
}

std::optional<ns::URL> QRVARemoteConfig::remoteConfigURLWithAppInstanceID(const std::string& appInstanceID,
                                                                          const std::string& platform,
                                                                          int64_t sdkVersion) {
    if (appInstanceID.empty() || platform.empty()) {
        QRVAMeasurementMonitor()->logWithLevel(1, 29010,
                                               "Cannot create a URL to fetch a configuration with empty app instance "
                                               "ID or empty platform (app instance, platform)",
                                               ns::Value(appInstanceID), ns::Value(platform));
        return std::nullopt;
    }
    // The app ID is one path segment and each argument one query component:
    // everything but the unreserved characters is escaped, so a "/", "?",
    // "&", "=" or "+" in them cannot change the path or add arguments. The
    // server reads the arguments in this order.
    const auto escaped = [](std::string_view text) { return ns::percentEncode(text, "-._~"); };
    const std::string query = "app_instance_id=" + escaped(appInstanceID) + "&platform=" + escaped(platform) +
                              "&vlp_version=" + std::to_string(sdkVersion);
    return ns::URL::parse(ns::format(remoteConfigURLFormat(), escaped(appIDFromVLP_)) + query);
}

#define QRVA_READ_SETTING_Seconds timeIntervalInSecondsFromCacheWithKey
#define QRVA_READ_SETTING_Int intValueFromCacheWithKey
#define QRVA_READ_SETTING_Int64 int64ValueFromCacheWithKey
#define QRVA_READ_SETTING_Switch switchValueFromCacheWithKey
#define QRVA_DEFINE_SETTING_GETTER(kind, Name, getter, key, defaultValue, maxValue, minValue)                         \
    QRVA_SETTING_ANSWER_##kind QRVARemoteConfig::getter() {                                                          \
        return QRVA_READ_SETTING_##kind(key, kQRVAConfig##Name, kQRVAConfig##Name##Max, kQRVAConfig##Name##Min); \
    }
QRVA_REMOTE_CONFIG_SETTINGS(QRVA_DEFINE_SETTING_GETTER)
#undef QRVA_DEFINE_SETTING_GETTER

void QRVARemoteConfig::parseRemoteConfigFromMeasurementConfig(const std::shared_ptr<QRVAPBMeasurementConfig>& config) {
    auto settings = NANOGetArray(config, MC::settings, &QRVAPBSetting::messageClass());
    if (!settings) {
        QRVALog(1, 29012, "Cannot parse empty measurement config. Using default values");
        return;
    }
    if (NANOGetString(config, MC::app_id) != appIDFromVLP_) return;

    cachedValueByRemoteConfigKeys_.removeAllObjects();
    for (const auto& element : *settings) {
        auto setting = element.asObjectOf<QRVAPBSetting>();
        auto value = NANOGetString(setting, QRVAPBField::Setting::value);
        cacheValue(value ? ns::Value(*value) : ns::Value(),
                   NANOGetString(setting, QRVAPBField::Setting::name).value_or(""));
    }

    cachedEventConfigByEventName_.removeAllObjects();
    auto eventConfigs = NANOGetArray(config, MC::event_config, &QRVAPBEventConfig::messageClass());
    for (const auto& element : eventConfigs.value_or(ns::Array{})) {
        auto eventConfig = element.asObjectOf<QRVAPBEventConfig>();
        const std::string name = NANOGetString(eventConfig, QRVAPBField::EventConfig::name).value_or("");
        if (name.empty()) {
            QRVAMeasurementMonitor()->logWithLevel(4, 29013,
                                                   "Cannot cache event configuration with an empty configuration name");
            continue;
        }
        const auto& internalNames = QRVInternalEventNames();
        auto internal = internalNames.find(name);
        cachedEventConfigByEventName_.setObject(ns::Value(eventConfig),
                                                internal == internalNames.end() ? name : internal->second);
    }

    if (NANOHasField(config, MC::version)) {
        QRVAMeasurementMonitor()->logWithLevel(7, 29014, "Successfully parsed a configuration. Version",
                                               ns::Value(NANOGetInt64(config, MC::version)));
    }
}

std::shared_ptr<QRVAPBMeasurementConfig> QRVARemoteConfig::measurementConfigFromDatabase() {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
    if (isDefaultInstance_) {
        QRVALog(1, 29015, "Cannot retrieve a measurement configuration from the database for the default instance");
        return nullptr;
    }
    ns::ErrorRef error;
    auto database = database_.lock();
    auto config = database ? database->queryMeasurementConfigWithError(&error) : nullptr;
    if (config) return config;
    if (error) {
        QRVAMeasurementMonitor()->logWithLevel(1, 29016, "Cannot retrieve configuration data from database. Error",
                                               QRVAErrorContext(error));
    } else {
        QRVAMeasurementMonitor()->logWithLevel(7, 29017,
                                               "Configuration was not found in database. The configuration will be "
                                               "fetched from the network when necessary");
    }
    return nullptr;
}

ns::Value QRVARemoteConfig::numberFromString(const ns::Value& object) {
    if (!object.isString()) {
        QRVAMeasurementMonitor()->logWithLevel(1, 29018, "Cannot parse number from non-string", object);
        return {};
    }
    auto number = ns::DecimalNumber::fromString(object.asString());
    return number ? numberFromDecimal(*number) : ns::Value();
}

ns::Value QRVARemoteConfig::cacheValue(const ns::Value& value, const std::string& key) {
    if (value.isNull() || key.empty()) {
        QRVAMeasurementMonitor()->logWithLevel(4, 29019, "Cannot cache empty configuration value");
        return {};
    }
    cachedValueByRemoteConfigKeys_.setObject(value, key);
    return value;
}

ns::Value QRVARemoteConfig::numberFromCacheWithKey(const std::string& key, const ns::Value& defaultValue,
                                                   const ns::Value& maxValue, const ns::Value& minValue,
                                                   const QRVASettingTransform& block) {
    if (key.empty()) {
        QRVAMeasurementMonitor()->logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
        return {};
    }
    const ns::Value cached = cachedValueByRemoteConfigKeys_.objectForKey(key);
    if (cached.isNull()) return cacheValue(defaultValue, key);
    // Numbers in the cache were checked by the read that put them there.
    if (cached.isNumber()) return cached;

    ns::Value number = numberFromString(cached);
    if (block) number = block(number);
    // Out of bounds is the default, never the nearer bound.
    if (!number.isNumber() || (!minValue.isNull() && compareNumbers(number, minValue) < 0) ||
        (!maxValue.isNull() && compareNumbers(number, maxValue) > 0)) {
        number = defaultValue;
    }
    return cacheValue(number, key);
}

double QRVARemoteConfig::timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue,
                                                               double maxValue, double minValue) {
    return numberFromCacheWithKey(key, defaultValue, maxValue, minValue, millisecondsToSeconds).doubleValue();
}

int32_t QRVARemoteConfig::intValueFromCacheWithKey(const std::string& key, int32_t defaultValue, int32_t maxValue,
                                                   int32_t minValue) {
    return static_cast<int32_t>(
        numberFromCacheWithKey(key, int64_t(defaultValue), int64_t(maxValue), int64_t(minValue)).intValue());
}

int64_t QRVARemoteConfig::int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue, int64_t maxValue,
                                                     int64_t minValue) {
    return numberFromCacheWithKey(key, defaultValue, maxValue, minValue, withinInt64).intValue();
}

int64_t QRVARemoteConfig::int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue) {
    return numberFromCacheWithKey(key, defaultValue, ns::Value(), ns::Value(), withinInt64).intValue();
}

bool QRVARemoteConfig::switchValueFromCacheWithKey(const std::string& key, int32_t defaultValue, int32_t maxValue,
                                                   int32_t minValue) {
    return intValueFromCacheWithKey(key, defaultValue, maxValue, minValue) == 1;
}
