#include "analytics/QRVAMonitor.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVLogger.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/process_info.h"
#include "platform/user_defaults.h"

namespace {

constexpr const char* kMonitorQueueLabel = "QRVAMonitorQueue";
// The schema of the monitoring key; the server reads the rest by it.
constexpr const char* kMonitoringKeySchema = "1";

bool hasArgument(const std::vector<std::string>& arguments, std::string_view argument) {
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

bool containsIgnoringCase(std::string_view text, std::string_view needle) {
    auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

// What -[NSNumber longLongValue] gives, without the undefined conversion of
// an out-of-range double.
int64_t longLongValue(const ns::Value& number) {
    switch (number.type()) {
        case ns::Value::Type::Bool: return number.asBool() ? 1 : 0;
        case ns::Value::Type::Int: return number.asInt();
        case ns::Value::Type::UInt: return static_cast<int64_t>(number.asUInt());
        default: {
            double d = number.asDouble();
            if (std::isnan(d)) return 0;
            if (d >= 9223372036854775807.0) return INT64_MAX;
            if (d <= -9223372036854775808.0) return INT64_MIN;
            return static_cast<int64_t>(d);
        }
    }
}

// A number by its decade. The magnitude is unsigned, so INT64_MIN and the
// decade above INT64_MAX's are written without overflow.
std::string encodedNumber(int64_t value) {
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    if (magnitude <= 99) return std::to_string(value);
    auto power = static_cast<uint64_t>(std::pow(10.0, std::floor(std::log10(static_cast<double>(magnitude)))) + 0.5);
    std::string low = std::to_string(power);
    std::string high = std::to_string(power * 10 - 1);
    if (value > 0) return low + "..." + high;
    return "-" + high + "...-" + low;
}

std::string plainContextText(const ns::Value& context) {
    if (context.isNull()) return "(nil)";
    if (auto exception = context.asObjectOf<QRVAExceptionContext>()) {
        auto symbol = QRVAMonitor::lastQRVASymbolFromException(exception.get());
        if (symbol) return ns::format("%@: %@", *symbol, exception->description());
        return exception->description();
    }
    if (context.isObject()) {
        std::string text = context.asObject()->description();
        if (text.empty()) {
            return ns::format("<%@ %p>", context.asObject()->className(),
                              static_cast<const void*>(context.asObject().get()));
        }
        return text;
    }
    return context.description();
}

}  // namespace

// MARK: - Exception context

QRVAExceptionContext::QRVAExceptionContext(std::string name, std::string reason,
                                           std::vector<std::string> callStackSymbols)
    : name_(std::move(name)), reason_(std::move(reason)), callStackSymbols_(std::move(callStackSymbols)) {}

std::string QRVAExceptionContext::description() const { return reason_; }

// MARK: - Console logger

void QRVAASLLogger::setMaxASLLevel(int32_t level) { maxASLLevel_ = std::min<int32_t>(level, 7); }

int64_t QRVAASLLogger::QRVLoggerLevelFromLogLevel(int64_t logLevel, int64_t maxASLLevel) {
    int64_t level = QRVLoggerLevelWarning;
    if (logLevel >= 0 && logLevel <= 2) level = QRVLoggerLevelError;
    if (logLevel == 6) level = QRVLoggerLevelNotice;
    if (logLevel == 7) level = QRVLoggerLevelDebug;
    return std::min(level, maxASLLevel);
}

void QRVAASLLogger::logMessage(const std::string& message, int64_t messageCode, int64_t logLevel) {
    // The core logger reads its message as a format.
    std::string escaped;
    escaped.reserve(message.size());
    for (char c : message) {
        escaped += c;
        if (c == '%') escaped += '%';
    }
    auto level = QRVLoggerLevel(QRVLoggerLevelFromLogLevel(logLevel, maxASLLevel()));
    QRVLogBasic(level, kQRVLoggerAnalytics, ns::format("I-ACS%06ld", messageCode), escaped);
}

// MARK: - Sampled data

QRVAMonitoringSampledData::QRVAMonitoringSampledData(const std::optional<ns::Array>& array) {
    if (array && isValidUserDefaultsArrayEntry(ns::Value(*array))) sampledData_ = *array;
}

bool QRVAMonitoringSampledData::isValidUserDefaultsArrayEntry(const ns::Value& entry) {
    const ns::Array* array = entry.arrayOrNull();
    return array && array->size() == 4 && (*array)[0].isString() && (*array)[1].isNumber() &&
           (*array)[2].isString() && (*array)[3].isDate();
}

ns::Array QRVAMonitoringSampledData::sampledDataEntryWithKey(const std::string& key, ns::Date timestamp,
                                                             const std::string& context, int32_t population) {
    return ns::Array{ns::Value(context), ns::Value(population), ns::Value(key), ns::Value(timestamp)};
}

std::string QRVAMonitoringSampledData::monitoringURLParamWithKey(const std::string& key, int32_t population,
                                                                 const std::string& context) {
    if (context.empty()) return ns::format("%d:%@", population, key);
    return ns::format("%d:%@:%@", population, key, context);
}

void QRVAMonitoringSampledData::insertOrUpdateSampledDataWithKey(const std::string& key,
                                                                 const std::string& encodedContext) {
    if (!sampledData_) {
        sampledData_ = sampledDataEntryWithKey(key, ns::Date{ns::Clock::nowSeconds()}, encodedContext, 1);
        return;
    }
    ns::Array& entry = *sampledData_;
    // Saturates rather than wrapping past the 32 bits it is stored in.
    int64_t population = std::min<int64_t>(longLongValue(entry[1]) + 1, INT32_MAX);
    entry[1] = ns::Value(population);
    if (ns::crypto::uniformRandom(static_cast<uint32_t>(population)) == 0) {
        entry[2] = ns::Value(key);
        entry[0] = ns::Value(encodedContext);
    }
}

std::optional<std::string> QRVAMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
    double now = ns::Clock::nowSeconds();
    if (!sampledData_) {
        if (lastSampledTimestamp > 0 && std::fabs(lastSampledTimestamp - now) > samplePeriod) return "0:";
        return std::nullopt;
    }
    const ns::Array& entry = *sampledData_;
    if (entry[3].asDate().secondsSince1970 >= now - samplePeriod) return std::nullopt;
    std::string answer = monitoringURLParamWithKey(entry[2].asString(), static_cast<int32_t>(longLongValue(entry[1])),
                                                   entry[0].asString());
    sampledData_.reset();
    return answer;
}

// MARK: - Monitor: level tables and texts

std::optional<std::string> QRVAMonitor::logLevelDescriptionFromLogLevel(int64_t logLevel) {
    static const char* const kDescriptions[] = {"ERROR",   "ERROR",   "ERROR",  "WARNING",
                                                "WARNING", "WARNING", "NOTICE", "DEBUG"};
    if (logLevel < 0 || logLevel > 7) return std::nullopt;
    return std::string(kDescriptions[logLevel]);
}

bool QRVAMonitor::isSilentLevel(int64_t logLevel) { return logLevel == 2 || logLevel == 5; }

bool QRVAMonitor::isMonitorableLevel(int64_t logLevel) {
    return logLevel == 1 || logLevel == 2 || logLevel == 4 || logLevel == 5;
}

std::string QRVAMonitor::encodedStringWithContextObject(const ns::Value& context) {
    if (context.isNull()) return "";
    if (context.isString()) return "-";
    if (context.isNumber() || context.isBool()) return encodedNumber(longLongValue(context));
    if (auto exception = context.asObjectOf<QRVAExceptionContext>()) {
        return lastQRVASymbolFromException(exception.get()).value_or("-");
    }
    if (auto error = context.asObjectOf<ns::Error>()) return error->domain().empty() ? "-" : error->domain();
    return "?";
}

std::string QRVAMonitor::encodedStringWithContextArray(const ns::Array& contexts, bool insertSpaces) {
    std::string text;
    for (size_t i = 0; i < contexts.size(); ++i) {
        if (i > 0) text += insertSpaces ? ", " : ",";
        text += encodedStringWithContextObject(contexts[i]);
    }
    return text;
}

std::string QRVAMonitor::stringWithLogMessage(const std::string& message, int64_t /*logLevel*/,
                                              const ns::Array& contexts, bool encodeContexts) {
    std::string text = message.empty() ? "(Message was empty)" : message;
    if (contexts.empty()) return text;
    if (encodeContexts) return text + ": " + encodedStringWithContextArray(contexts, true);
    text += ": ";
    for (size_t i = 0; i < contexts.size(); ++i) {
        if (i > 0) text += ", ";
        text += plainContextText(contexts[i]);
    }
    return text;
}

std::optional<std::string> QRVAMonitor::lastQRVASymbolFromException(const QRVAExceptionContext* exception) {
    if (!exception) return std::nullopt;
    const auto& symbols = exception->callStackSymbols();
    // The first two frames are the raise itself.
    for (size_t i = 2; i < symbols.size(); ++i) {
        std::istringstream in(symbols[i]);
        std::vector<std::string> pieces;
        for (std::string piece; in >> piece;) pieces.push_back(piece);
        if (pieces.size() < 5) continue;
        // A method name may hold a space ("-[QRVAFoo bar:]"), split in two.
        std::string symbol = pieces[4] == "+" ? pieces[3] : pieces[3] + " " + pieces[4];
        if (containsIgnoringCase(symbol, "QRVA")) return symbol;
    }
    return exception->name();
}

std::string QRVAMonitor::monitoringDataKeyWithMessage(const std::string& message, int64_t logLevel,
                                                      int64_t libraryVersion) {
    char letter = '?';
    if (logLevel >= 0 && logLevel <= 2) letter = 'E';
    if (logLevel >= 3 && logLevel <= 5) letter = 'W';
    return ns::format("%@%c_%lld:%@", kMonitoringKeySchema, letter, libraryVersion, message);
}

// MARK: - Monitor: creation and debug mode

std::shared_ptr<QRVAMonitor> QRVAMonitor::initWithLibraryVersion(int64_t libraryVersion) {
    auto monitor = std::make_shared<QRVAMonitor>(std::make_shared<QRVAASLLogger>(7), libraryVersion);
    monitor->monitorQueue_->sync([&] {
        monitor->migrateMonitorDataOnMonitorQueue();
        monitor->loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    });
    monitor->decideDebugModeAtLaunch();
    return monitor;
}

QRVAMonitor::QRVAMonitor(std::shared_ptr<QRVAASLLogger> logger, int64_t libraryVersion)
    : logger_(std::move(logger)),
      monitorQueue_(ns::DispatchQueue::serial(kMonitorQueueLabel, ns::DispatchQueue::QoS::Background)),
      libraryVersion_(libraryVersion),
      monitorUserDefaults_(ns::UserDefaults::suite(kQRVAMonitorSuiteName)),
      monitoringSampledData_(std::make_unique<QRVAMonitoringSampledData>()) {}

void QRVAMonitor::decideDebugModeAtLaunch() {
    // A build from the store never reads the switches.
    if (QRVAAEU::isFAS()) return;
    auto arguments = ns::ProcessInfo::processInfo().arguments();
    if (hasArgument(arguments, kQRVAMonitorDisableDebugModeApplicationArgument) ||
        hasArgument(arguments, kQRVDebugDisabledArgument)) {
        setDebugModeEnabled(false);
    } else if (ns::UserDefaults::standard()->boolForKey(kQRVAUserDefaultsDebugModeKey) ||
               hasArgument(arguments, kQRVAMonitorEnableDebugModeApplicationArgument) ||
               hasArgument(arguments, kQRVDebugEnabledArgument)) {
        setDebugModeEnabled(true);
    }
}

void QRVAMonitor::setDebugModeEnabled(bool enabled) {
    bool effective = enabled && !QRVAAEU::isFAS();
    logger_->setMaxASLLevel(7);
    QRVSetAnalyticsDebugMode(effective);
    if (effective) {
        ns::UserDefaults::standard()->setObject(ns::Value(true), kQRVAUserDefaultsDebugModeKey);
        logWithLevel(7, 24000, "Debug mode is on");
    } else {
        ns::UserDefaults::standard()->removeObjectForKey(kQRVAUserDefaultsDebugModeKey);
        logWithLevel(7, 24001, "Debug mode is off");
    }
    debugModeEnabled_ = effective;
}

bool QRVAMonitor::isDebugModeEnabled() const { return debugModeEnabled_; }
bool QRVAMonitor::encodeContexts() const { return encodeContexts_; }
void QRVAMonitor::setEncodeContexts(bool encode) { encodeContexts_ = encode; }

// MARK: - Monitor: logging

void QRVAMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message) {
    logWithLevel(level, messageCode, message, ns::Array{});
}

void QRVAMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                               const ns::Value& context) {
    logWithLevel(level, messageCode, message, ns::Array{context});
}

void QRVAMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                               const ns::Value& context1, const ns::Value& context2) {
    logWithLevel(level, messageCode, message, ns::Array{context1, context2});
}

void QRVAMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                               const ns::Value& context1, const ns::Value& context2, const ns::Value& context3) {
    logWithLevel(level, messageCode, message, ns::Array{context1, context2, context3});
}

void QRVAMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                               const ns::Array& contexts) {
    bool loggable = isLoggableLevel(level);
    bool monitorable = isMonitorableLevel(level);
    if (!loggable && !monitorable) return;
    if (loggable) logToConsole(messageCode, stringWithLogMessage(message, level, contexts, encodeContexts()), level);
    if (monitorable) {
        std::string encoded = encodedStringWithContextArray(contexts, false);
        std::string extra = QRVAMonitorContextString(contexts);
        if (!extra.empty()) encoded += "," + extra;
        insertOrUpdateMonitoringDataWithMessage(message, encoded, level);
    }
}

bool QRVAMonitor::isLoggableLevel(int64_t logLevel) const {
    auto level = QRVLoggerLevel(QRVAASLLogger::QRVLoggerLevelFromLogLevel(logLevel, 7));
    return QRVIsLoggableLevel(level, true) && !isSilentLevel(logLevel);
}

void QRVAMonitor::logToConsole(int64_t messageCode, const std::string& text, int64_t logLevel) {
    monitorQueue_->async(
        [logger = logger_, messageCode, text, logLevel] { logger->logMessage(text, messageCode, logLevel); });
}

void QRVAMonitor::insertOrUpdateMonitoringDataWithMessage(const std::string& message,
                                                          const std::string& encodedContext, int64_t logLevel) {
    std::string key = monitoringDataKeyWithMessage(message, logLevel, libraryVersion_);
    monitorQueue_->async([self = shared_from_this(), key = std::move(key), encodedContext] {
        self->monitoringSampledData_->insertOrUpdateSampledDataWithKey(key, encodedContext);
        self->saveMonitoringDataToUserDefaultsOnMonitorQueue();
    });
}

void QRVAMonitor::flushForTesting() { monitorQueue_->sync([] {}); }

// MARK: - Monitor: the sample and its suite

std::optional<std::string> QRVAMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                                  double lastSampledTimestamp) {
    std::optional<std::string> answer;
    monitorQueue_->sync([&] {
        answer = monitoringSampledData_->monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp);
        if (answer) saveMonitoringDataToUserDefaultsOnMonitorQueue();
    });
    return answer;
}

void QRVAMonitor::clearMonitoringData() {
    monitorQueue_->sync([&] {
        auto standard = ns::UserDefaults::standard();
        standard->removeObjectForKey(kQRVAUserDefaultsDebugModeKey);
        standard->removeObjectForKey(kQRVAUserDefaultsHealthMonitorKey);
        monitorUserDefaults_->removeObjectForKey(kQRVAUserDefaultsHealthMonitorKey);
        loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    });
}

void QRVAMonitor::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
    ns::dispatchAssertQueue(monitorQueue_);
    monitoringSampledData_ = std::make_unique<QRVAMonitoringSampledData>(
        monitorUserDefaults_->arrayForKey(kQRVAUserDefaultsHealthMonitorKey));
}

void QRVAMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
    ns::dispatchAssertQueue(monitorQueue_);
    auto entry = monitoringSampledData_->sampledData();
    monitorUserDefaults_->setObject(entry ? ns::Value(*entry) : ns::Value(), kQRVAUserDefaultsHealthMonitorKey);
    synchronizeToDiskOnMonitorQueue();
}

void QRVAMonitor::synchronizeToDiskOnMonitorQueue() {
    ns::dispatchAssertQueue(monitorQueue_);
    monitorUserDefaults_->synchronize();
    std::call_once(excludeBackupOnce_, [this] {
        ns::ErrorRef error;
        if (!QRVAExcludeFilePathFromBackup(QRVAFilePathForPreferencesName(kQRVAMonitorSuiteName, *this), &error)) {
            logWithLevel(4, 24002, "Failed to exclude monitor preferences file from backup",
                         QRVAErrorContext(error));
        }
    });
}

void QRVAMonitor::migrateMonitorDataOnMonitorQueue() {
    ns::dispatchAssertQueue(monitorQueue_);
    int64_t state = monitorUserDefaults_->integerForKey(kQRVAUserDefaultsMonitorMigrationStateKey);
    if (state == kQRVAMonitorMigrationStateComplete) return;
    auto standard = ns::UserDefaults::standard();
    if (state != kQRVAMonitorMigrationStateCopied) {
        auto earlier = standard->arrayForKey(kQRVAUserDefaultsHealthMonitorKey);
        if (earlier && monitorUserDefaults_->objectForKey(kQRVAUserDefaultsHealthMonitorKey).isNull()) {
            monitorUserDefaults_->setObject(ns::Value(*earlier), kQRVAUserDefaultsHealthMonitorKey);
        }
        monitorUserDefaults_->setInteger(kQRVAMonitorMigrationStateCopied, kQRVAUserDefaultsMonitorMigrationStateKey);
        synchronizeToDiskOnMonitorQueue();
    }
    standard->removeObjectForKey(kQRVAUserDefaultsHealthMonitorKey);
    standard->synchronize();
    monitorUserDefaults_->setInteger(kQRVAMonitorMigrationStateComplete, kQRVAUserDefaultsMonitorMigrationStateKey);
    synchronizeToDiskOnMonitorQueue();
}

// MARK: - The process-wide monitor

namespace {
std::mutex& sharedMonitorMutex() {
    static auto* mutex = new std::mutex();  // never destroyed: pooled work may log during exit
    return *mutex;
}
std::shared_ptr<QRVAMonitor>& sharedMonitorSlot() {
    static auto* slot = new std::shared_ptr<QRVAMonitor>();
    return *slot;
}
}  // namespace

std::shared_ptr<QRVAMonitor> QRVAMeasurementMonitor() {
    std::lock_guard lock(sharedMonitorMutex());
    auto& slot = sharedMonitorSlot();
    if (!slot) slot = QRVAMonitor::initWithLibraryVersion(kQRVAAnalyticsLibraryVersion);
    return slot;
}

void QRVAMonitor::resetSharedForTesting() {
    std::shared_ptr<QRVAMonitor> previous;
    {
        std::lock_guard lock(sharedMonitorMutex());
        previous = std::move(sharedMonitorSlot());
    }
    if (previous) previous->flushForTesting();
}

// MARK: - Errors and assertions

ns::ErrorRef qrva_errorWithCode(int64_t code, const std::string& description, const std::string& monitorContext) {
    ns::Dictionary userInfo;
    if (!description.empty()) userInfo[ns::kLocalizedDescriptionKey] = description;
    if (!monitorContext.empty()) userInfo[kQRVAMonitorContextKey] = monitorContext;
    return ns::Error::make(kQRVAErrorDomain, static_cast<long>(code), std::move(userInfo));
}

void QRVASetErrorWithMonitorContext(ns::ErrorRef* error, int64_t code, const std::string& description,
                                    const std::string& monitorContext) {
    if (error) *error = qrva_errorWithCode(code, description, monitorContext);
}

void QRVASetError(ns::ErrorRef* error, int64_t code, const std::string& description) {
    QRVASetErrorWithMonitorContext(error, code, description, "");
}

bool QRVAAssertTrue(bool condition, ns::ErrorRef* error, int64_t code, const std::string& description) {
    if (!condition) QRVASetErrorWithMonitorContext(error, code, description, "");
    return condition;
}

bool QRVAAssertNotNil(const ns::Value& object, ns::ErrorRef* error, int64_t code, const std::string& description) {
    return QRVAAssertTrue(!object.isNull(), error, code, description);
}

bool QRVAAssertNotNull(const void* pointer, ns::ErrorRef* error, int64_t code, const std::string& description) {
    return QRVAAssertTrue(pointer != nullptr, error, code, description);
}

bool QRVAAssertNotZero(int64_t value, ns::ErrorRef* error, int64_t code, const std::string& description) {
    return QRVAAssertTrue(value != 0, error, code, description);
}

std::string QRVAMonitorContextString(const ns::Array& contexts) {
    std::string joined;
    for (const auto& context : contexts) {
        auto error = context.asObjectOf<ns::Error>();
        if (!error || error->domain() != kQRVAErrorDomain) continue;
        auto it = error->userInfo().find(kQRVAMonitorContextKey);
        if (it == error->userInfo().end() || !it->second.isString() || it->second.asString().empty()) continue;
        if (!joined.empty()) joined += ",";
        joined += it->second.asString();
    }
    return joined;
}
