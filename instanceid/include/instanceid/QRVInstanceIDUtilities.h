#pragma once
// The instance-identity logger, its error constructors and small helpers:
// time stamps, the app's version and identifier, scope tests, the text form
// of an APNs token, the messaging library's version and locale (looked up by
// class name, so instance identity works without messaging) and the
// library's own version.
//
// Everything here may be called from any thread. Log lines go to the core
// logger under "[Quorvane/InstanceID]" with the code "I-IID" and six digits.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/QRVLogger.h"
#include "platform/error.h"
#include "platform/value.h"

inline constexpr const char* kQRVInstanceIDDomain = "com.quorvane.iid";

// Error codes of the domain above.
enum QRVInstanceIDErrorCode : long {
    kQRVInstanceIDErrorCodeUnknown = 0,        // unknown or bad reply
    kQRVInstanceIDErrorCodeAlreadyRunning = 5, // a request for the same pair is running
    kQRVInstanceIDErrorCodeMissingDevice = 6,  // no device credentials
    kQRVInstanceIDErrorCodeInvalidReply = 7,   // no device id in a check-in reply; APNs token not data
    kQRVInstanceIDErrorCodeMissingCheckin = 501,
    kQRVInstanceIDErrorCodeTokenNotCached = 502,
    kQRVInstanceIDErrorCodeMissingAPNSToken = 1001,
    kQRVInstanceIDErrorCodeMissingAPNSServerType = 1002,
    kQRVInstanceIDErrorCodeInvalidAuthorizedEntity = 1003,
    kQRVInstanceIDErrorCodeInvalidScope = 1004,
    kQRVInstanceIDErrorCodeMissingKeyPairStore = 1005,
    kQRVInstanceIDErrorCodeMissingKeyPair = 1006,
    kQRVInstanceIDErrorCodeCacheClearFailed = 1007,
    kQRVInstanceIDErrorCodeKeyPairNotFound = 2001,
    kQRVInstanceIDErrorCodeInvalidKeyPairTag = 2002,
    kQRVInstanceIDErrorCodeMissingKeyPairCreationTime = 2005,
};

// "msg" userInfo key of the missing check-in error.
inline constexpr const char* kQRVInstanceIDErrorMessageKey = "msg";

class QRVInstanceIDLogLevelFilter {
public:
    explicit QRVInstanceIDLogLevelFilter(int8_t level) : level_(level) {}
    int8_t level() const { return level_; }

private:
    int8_t level_;
};

// The shared logger. The level filter is kept for the facade to set; the
// core logger's own level decides what is written.
class QRVInstanceIDLogger {
public:
    static QRVInstanceIDLogger& standardLogger();

    // "I-IID%06ld"
    static std::string formatMessageCode(long code);

    void setFilter(QRVInstanceIDLogLevelFilter filter);
    int8_t filterLevel() const;

    template <class... A>
    void logFuncDebug(const char* func, long code, std::string_view format, const A&... args) {
        QRVLogBasic(QRVLoggerLevelDebug, kQRVLoggerInstanceID, formatMessageCode(code), format, args...);
    }
    template <class... A>
    void logFuncInfo(const char* func, long code, std::string_view format, const A&... args) {
        QRVLogBasic(QRVLoggerLevelInfo, kQRVLoggerInstanceID, formatMessageCode(code), format, args...);
    }
    template <class... A>
    void logFuncNotice(const char* func, long code, std::string_view format, const A&... args) {
        QRVLogBasic(QRVLoggerLevelNotice, kQRVLoggerInstanceID, formatMessageCode(code), format, args...);
    }
    template <class... A>
    void logFuncWarning(const char* func, long code, std::string_view format, const A&... args) {
        QRVLogBasic(QRVLoggerLevelWarning, kQRVLoggerInstanceID, formatMessageCode(code), format, args...);
    }
    template <class... A>
    void logFuncError(const char* func, long code, std::string_view format, const A&... args) {
        QRVLogBasic(QRVLoggerLevelError, kQRVLoggerInstanceID, formatMessageCode(code), format, args...);
    }

private:
    QRVInstanceIDLogger() = default;
    std::atomic<int8_t> level_{2};
};

QRVInstanceIDLogger& QRVInstanceIDSharedLogger();

#define QRVInstanceIDLoggerDebug(code, ...) QRVInstanceIDSharedLogger().logFuncDebug(__func__, code, __VA_ARGS__)
#define QRVInstanceIDLoggerInfo(code, ...) QRVInstanceIDSharedLogger().logFuncInfo(__func__, code, __VA_ARGS__)
#define QRVInstanceIDLoggerWarning(code, ...) QRVInstanceIDSharedLogger().logFuncWarning(__func__, code, __VA_ARGS__)
#define QRVInstanceIDLoggerError(code, ...) QRVInstanceIDSharedLogger().logFuncError(__func__, code, __VA_ARGS__)

// The error constructors (NSError category).
ns::ErrorRef errorWithQRVInstanceIDErrorCode(long code, ns::Dictionary userInfo = {});
// 501 with {"msg": "Missing device credentials. Retry later."}.
ns::ErrorRef QRVInstanceIDErrorMissingCheckin();

// The register URL: https://<registration host>/kdx/register4.
std::string QRVInstanceIDRegisterServer();
// The check-in URL: https://<check-in host>/checkin.
std::string QRVInstanceIDCheckinServer();
inline constexpr const char* kQRVInstanceIDRegistrationHost = "iid.ondrixapis.com";
inline constexpr const char* kQRVInstanceIDCheckinHost = "device-provisioning.ondrixapis.com";

// Whole seconds since 1970, truncated; the milliseconds stamp is that times
// 1000.
int64_t QRVInstanceIDCurrentTimestampInSeconds();
int64_t QRVInstanceIDCurrentTimestampInMilliseconds();
// The main bundle's "CFBundleShortVersionString", "" when missing.
std::string QRVInstanceIDCurrentAppVersion();
std::string QRVInstanceIDAppIdentifier();
// "qdx" in any case.
bool QRVInstanceIDIsValidKDXScope(const std::string& scope);
// Exactly "*".
bool QRVInstanceIDIsValidDefaultScope(const std::string& scope);
// "s_" or "p_" and two lower-case hex digits per byte.
std::string QRVInstanceIDAPNSStringForToken(const ns::Data& token, bool sandbox);
// The messaging library's version text, when messaging is in the program.
std::optional<std::string> QRVInstanceIDCurrentKDXVersion();
// Messaging's locale, else the device's first preferred language.
std::string QRVInstanceIDCurrentLocale();
// "2.0.0"
const std::string& QRVInstanceIDCurrentLibraryVersion();
// The kernel's machine name (the hardware model), nullopt when unknown.
std::optional<std::string> QRVInstanceIDDeviceModelVersion();
// The operating system's version ("16.4").
std::string QRVInstanceIDOperatingSystemVersion();
