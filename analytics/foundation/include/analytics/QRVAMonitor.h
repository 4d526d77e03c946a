#pragma once
// The analytics client's one logging entry. Every analytics class logs
// through the process-wide monitor (`QRVAMeasurementMonitor()`) with a level
// from 0 to 7 (0-2 error, 3-5 warning, 6 notice, 7 debug; 2 and 5 are never
// printed, only sampled), a numeric message code printed as "I-ACS%06ld"
// under "[Quorvane/Analytics]", and any number of context values.
//
//     QRVAMeasurementMonitor()->logWithLevel(
//         1, 16001, ns::format("Event cannot contain more than %d parameters", 25));
//
// Context values: ns::Value null (NSNull: "(nil)" in console text), strings,
// numbers, and objects: an ns::Error (NSError), a `QRVAExceptionContext` (a
// caught exception), or any other ns::Object (its description).
//
// Threads: any thread may log. Sample updates and console hand-off run in
// call order on the monitor's own serial queue "QRVAMonitorQueue".

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

namespace ns {
class DispatchQueue;
class UserDefaults;
}  // namespace ns

// The analytics library version: part of every monitoring key and of every
// bundle (`+[QRVAIdentity quorvaneAnalyticsLibraryVersion]`).
inline constexpr int64_t kQRVAAnalyticsLibraryVersion = 40002;

// Errors of the analytics client.
inline constexpr const char* kQRVAErrorDomain = "com.ondrix.vlp.measurement.ErrorDomain";
// The user-info key of an analytics error's monitor context.
inline constexpr const char* kQRVAMonitorContextKey = "QRVAMonitorContext";

// Where the monitor keeps its sample (a suite of its own), and the keys.
inline constexpr const char* kQRVAMonitorSuiteName = "com.ondrix.vlp.measurement.monitor";
inline constexpr const char* kQRVAUserDefaultsHealthMonitorKey = "/ondrix/measurement/health_monitor";
inline constexpr const char* kQRVAUserDefaultsMonitorMigrationStateKey = "/ondrix/measurement/monitor_migration_state";
inline constexpr int64_t kQRVAMonitorMigrationStateCopied = 1;
inline constexpr int64_t kQRVAMonitorMigrationStateComplete = 2;
// In the standard defaults: debug mode switched on in an earlier run.
inline constexpr const char* kQRVAUserDefaultsDebugModeKey = "/ondrix/measurement/debug_mode";

// Launch arguments read when the monitor is made.
inline constexpr const char* kQRVAMonitorDisableDebugModeApplicationArgument = "-noQRVAnalyticsDebugEnabled";
inline constexpr const char* kQRVAMonitorEnableDebugModeApplicationArgument = "-QRVAnalyticsDebugEnabled";

// A caught exception as a log context: its name, reason and the call-stack
// symbols it carried (empty when it carried none).
class QRVAExceptionContext : public ns::Object {
public:
    QRVAExceptionContext(std::string name, std::string reason, std::vector<std::string> callStackSymbols = {});
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const std::vector<std::string>& callStackSymbols() const { return callStackSymbols_; }
    std::string description() const override;
    std::string className() const override { return "NSException"; }

private:
    std::string name_;
    std::string reason_;
    std::vector<std::string> callStackSymbols_;
};

// An error as a log context (a null error gives the null context).
inline ns::Value QRVAErrorContext(const ns::ErrorRef& error) {
    return error ? ns::Value(std::const_pointer_cast<ns::Error>(error)) : ns::Value();
}

// Where console lines go: one line per message, with its numeric code and
// monitor level.
class QRVALogging {
public:
    virtual ~QRVALogging() = default;
    virtual void logMessage(const std::string& message, int64_t messageCode, int64_t logLevel) = 0;
};

// Writes console lines through the core logger under kQRVLoggerAnalytics,
// the code as "I-ACS%06ld". The message is written as it is: a "%" in it
// is never read as a format directive. Any thread may call it.
class QRVAASLLogger : public QRVALogging {
public:
    explicit QRVAASLLogger(int32_t maxASLLevel = 7) { setMaxASLLevel(maxASLLevel); }

    void logMessage(const std::string& message, int64_t messageCode, int64_t logLevel) override;
    // The most verbose core logger level lines get; values above 7 are 7.
    void setMaxASLLevel(int32_t level);
    int32_t maxASLLevel() const { return maxASLLevel_.load(); }

    // The core logger level of a monitor level (0-2 error, 3-5 and unknown
    // levels warning, 6 notice, 7 debug), capped at `maxASLLevel`.
    static int64_t QRVLoggerLevelFromLogLevel(int64_t logLevel, int64_t maxASLLevel);

private:
    std::atomic<int32_t> maxASLLevel_{7};
};

// The sampled monitoring entry: a reservoir of one message per sample
// period. The entry is nothing or exactly the four values
// [encoded context (string), population (int), monitoring key (string),
// creation time (date)], which is also how it is stored. Not thread-safe:
// the monitor touches it only from its own queue.
class QRVAMonitoringSampledData {
public:
    // Keeps the array when it is a valid entry, else starts empty.
    explicit QRVAMonitoringSampledData(const std::optional<ns::Array>& array = std::nullopt);

    // Starts an entry (population 1) or counts one more message, which then
    // replaces the kept one with probability 1 / population.
    void insertOrUpdateSampledDataWithKey(const std::string& key, const std::string& encodedContext);
    // "population:key[:context]" once the entry is older than the period (the
    // entry is then dropped); "0:" when there is no entry and the last
    // dispatch (seconds since 1970, 0 for never) lies more than a period
    // away; otherwise nullopt.
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                         double lastSampledTimestamp);
    // A copy of the entry; nullopt when there is none.
    std::optional<ns::Array> sampledData() const { return sampledData_; }

    static bool isValidUserDefaultsArrayEntry(const ns::Value& entry);
    static std::string monitoringURLParamWithKey(const std::string& key, int32_t population,
                                                 const std::string& context);
    static ns::Array sampledDataEntryWithKey(const std::string& key, ns::Date timestamp, const std::string& context,
                                             int32_t population);

private:
    std::optional<ns::Array> sampledData_;
};

class QRVAMonitor : public std::enable_shared_from_this<QRVAMonitor> {
public:
    static std::shared_ptr<QRVAMonitor> initWithLibraryVersion(int64_t libraryVersion);

    void setDebugModeEnabled(bool enabled);
    bool isDebugModeEnabled() const;
    bool encodeContexts() const;
    void setEncodeContexts(bool encode);

    // One, two, three or an array of contexts.
    void logWithLevel(int64_t level, int64_t messageCode, const std::string& message);
    void logWithLevel(int64_t level, int64_t messageCode, const std::string& message, const ns::Value& context);
    void logWithLevel(int64_t level, int64_t messageCode, const std::string& message, const ns::Value& context1,
                      const ns::Value& context2);
    void logWithLevel(int64_t level, int64_t messageCode, const std::string& message, const ns::Value& context1,
                      const ns::Value& context2, const ns::Value& context3);
    void logWithLevel(int64_t level, int64_t messageCode, const std::string& message, const ns::Array& contexts);

    // The sampled entry due for dispatch, or nullopt (see the bundling step).
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                         double lastSampledTimestamp);
    void clearMonitoringData();

    // The level tables: a description ("ERROR", "WARNING", "NOTICE",
    // "DEBUG"; nullopt for a level outside 0-7), the levels never printed (2
    // and 5) and the levels sampled (1, 2, 4, 5).
    static std::optional<std::string> logLevelDescriptionFromLogLevel(int64_t logLevel);
    static bool isSilentLevel(int64_t logLevel);
    static bool isMonitorableLevel(int64_t logLevel);

    // Contexts in their privacy-reduced form: no string contents ("-"),
    // small numbers as they are, larger ones as their decade
    // ("10000...99999"), errors as their domain, exceptions as the analytics
    // symbol they were raised in, anything else "?"; joined by ", " or ",".
    static std::string encodedStringWithContextArray(const ns::Array& contexts, bool insertSpaces);
    static std::string encodedStringWithContextObject(const ns::Value& context);
    // The console text: the message, then ": " and the contexts, plain or
    // encoded.
    static std::string stringWithLogMessage(const std::string& message, int64_t logLevel, const ns::Array& contexts,
                                            bool encodeContexts);
    // The first frame of the exception's call stack (past the two frames of
    // the raise itself) whose symbol names an analytics class; the
    // exception's name when there is none.
    static std::optional<std::string> lastQRVASymbolFromException(const QRVAExceptionContext* exception);
    // "1<E|W|?>_<library version>:<message>".
    static std::string monitoringDataKeyWithMessage(const std::string& message, int64_t logLevel,
                                                    int64_t libraryVersion);

    // Stands for a new process: the next QRVAMeasurementMonitor() makes a
    // fresh monitor, which reads its suite and the launch arguments again.
    static void resetSharedForTesting();

    // Waits until every console hand-off and sample update queued so far
    // has run (a test's way to read what the monitor stored).
    void flushForTesting();

    // Not for callers: made by initWithLibraryVersion.
    QRVAMonitor(std::shared_ptr<QRVAASLLogger> logger, int64_t libraryVersion);

private:
    bool isLoggableLevel(int64_t logLevel) const;
    void logToConsole(int64_t messageCode, const std::string& text, int64_t logLevel);
    void insertOrUpdateMonitoringDataWithMessage(const std::string& message, const std::string& encodedContext,
                                                 int64_t logLevel);
    void decideDebugModeAtLaunch();
    void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    void saveMonitoringDataToUserDefaultsOnMonitorQueue();
    void migrateMonitorDataOnMonitorQueue();
    void synchronizeToDiskOnMonitorQueue();

    std::shared_ptr<QRVAASLLogger> logger_;
    std::shared_ptr<ns::DispatchQueue> monitorQueue_;
    int64_t libraryVersion_;
    std::shared_ptr<ns::UserDefaults> monitorUserDefaults_;
    std::once_flag excludeBackupOnce_;
    std::atomic<bool> debugModeEnabled_{false};
    std::atomic<bool> encodeContexts_{false};
    // Touched only on the monitor queue.
    std::unique_ptr<QRVAMonitoringSampledData> monitoringSampledData_;
};

// The process-wide monitor (what `+[QRVAMeasurement monitor]` answers), made
// on first use with kQRVAAnalyticsLibraryVersion and never released.
std::shared_ptr<QRVAMonitor> QRVAMeasurementMonitor();

// The shorthands every analytics file logs with, through the process-wide
// monitor: no contexts, one to three ns::Value contexts, or an ns::Array.
template <typename... Contexts>
void QRVALog(int64_t level, int64_t code, const std::string& message, const Contexts&... contexts) {
    QRVAMeasurementMonitor()->logWithLevel(level, code, message, contexts...);
}
// An error as the one context (a null error gives the null context).
inline void QRVALogError(int64_t level, int64_t code, const std::string& message, const ns::ErrorRef& error) {
    QRVAMeasurementMonitor()->logWithLevel(level, code, message, QRVAErrorContext(error));
}

// Analytics errors (NSError (QRVAAdditions)): domain kQRVAErrorDomain, the
// code, a description (kLocalizedDescriptionKey, when non-empty) and a
// monitor context ("QRVAMonitorContext", when non-empty).
ns::ErrorRef qrva_errorWithCode(int64_t code, const std::string& description, const std::string& monitorContext = "");
// Fill an error slot (a null slot is allowed and does nothing).
void QRVASetError(ns::ErrorRef* error, int64_t code, const std::string& description);
void QRVASetErrorWithMonitorContext(ns::ErrorRef* error, int64_t code, const std::string& description,
                                    const std::string& monitorContext);
// Answer the condition; when it fails, fill the slot and answer false.
bool QRVAAssertTrue(bool condition, ns::ErrorRef* error, int64_t code, const std::string& description);
// The same for a value that must not be null, a pointer that must not be
// null and a number that must not be zero.
bool QRVAAssertNotNil(const ns::Value& object, ns::ErrorRef* error, int64_t code, const std::string& description);
bool QRVAAssertNotNull(const void* pointer, ns::ErrorRef* error, int64_t code, const std::string& description);
bool QRVAAssertNotZero(int64_t value, ns::ErrorRef* error, int64_t code, const std::string& description);
// The "QRVAMonitorContext" values of the analytics-domain errors among the
// contexts, joined by ",".
std::string QRVAMonitorContextString(const ns::Array& contexts);
