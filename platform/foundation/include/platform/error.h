#pragma once
// NSError and NSException stand-ins.
//
// Errors are values handed to completion blocks: `ns::ErrorRef` is nullptr for
// "no error". Exceptions are for programming errors and configuration
// failures; they are raised on the calling thread before any work is queued
// and never cross a queue boundary.

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/value.h"

namespace ns {

// userInfo keys with Foundation's own spellings, so logs and callers agree.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kFilePathErrorKey = "NSFilePath";
inline constexpr const char* kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

// Domains of the platform's own errors.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";

// NSURLError codes used by the HTTP client.
enum URLErrorCode : long {
    kURLErrorUnknown = -1,
    kURLErrorCancelled = -999,
    kURLErrorBadURL = -1000,
    kURLErrorTimedOut = -1001,
    kURLErrorUnsupportedURL = -1002,
    kURLErrorCannotFindHost = -1003,
    kURLErrorCannotConnectToHost = -1004,
    kURLErrorNetworkConnectionLost = -1005,
    kURLErrorNotConnectedToInternet = -1009,
    kURLErrorBadServerResponse = -1011,
    kURLErrorSecureConnectionFailed = -1200,
    kURLErrorServerCertificateUntrusted = -1202,
};

class Error;
using ErrorRef = std::shared_ptr<const Error>;

class Error : public Object {
public:
    Error(std::string domain, long code, Dictionary userInfo = {});

    static ErrorRef make(std::string domain, long code, Dictionary userInfo = {});
    // The common shape: a description, optionally a failure reason and an
    // underlying error.
    static ErrorRef make(std::string domain, long code, const std::string& description,
                         const std::string& failureReason = {}, ErrorRef underlying = nullptr);

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    const Dictionary& userInfo() const { return userInfo_; }

    // The description in userInfo, or Foundation's generic
    // "The operation couldn’t be completed. (<domain> error <code>.)".
    std::string localizedDescription() const;
    // Empty when absent.
    std::string localizedFailureReason() const;
    ErrorRef underlyingError() const;

    std::string description() const override;
    std::string className() const override { return "NSError"; }

private:
    std::string domain_;
    long code_;
    Dictionary userInfo_;
};

// Names of exceptions raised by the platform itself.
inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kRangeException = "NSRangeException";
inline constexpr const char* kGenericException = "NSGenericException";

class Exception : public std::runtime_error {
public:
    Exception(std::string name, std::string reason, Dictionary userInfo = {});
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Dictionary& userInfo() const { return userInfo_; }

    // Raise with a reason built by ns::format (see platform/format.h).
    [[noreturn]] static void raise(std::string name, std::string reason);

private:
    std::string name_;
    std::string reason_;
    Dictionary userInfo_;
};

}  // namespace ns
