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

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

// The analytics library version: part of every monitoring key and of every
// bundle (`+[QRVAIdentity quorvaneAnalyticsLibraryVersion]`).
inline constexpr int64_t kQRVAAnalyticsLibraryVersion = 40002;

// Errors of the analytics client.
inline constexpr const char* kQRVAErrorDomain = "com.ondrix.vlp.measurement.ErrorDomain";

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

class QRVAASLLogger;
class QRVAMonitoringSampledData;

class QRVAMonitor {
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

    // ... further members as the monitor's implementation needs.
};

// The process-wide monitor (what `+[QRVAMeasurement monitor]` answers), made
// on first use with kQRVAAnalyticsLibraryVersion and never released.
std::shared_ptr<QRVAMonitor> QRVAMeasurementMonitor();

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
// The "QRVAMonitorContext" values of the analytics-domain errors among the
// contexts, joined by ",".
std::string QRVAMonitorContextString(const ns::Array& contexts);
