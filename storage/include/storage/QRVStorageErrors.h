#pragma once
// The storage client's errors: domain QRVStorageErrorDomain, a fixed message
// per code, and the mapping of fetch failures (HTTP statuses, transport
// errors) onto those codes. Class functions only; usable from any thread.

#include <memory>

#include "platform/error.h"
#include "platform/value.h"
#include "storage/QRVStorageConstants.h"

class QRVStorageReference;

enum QRVStorageErrorCode : long {
    QRVStorageErrorCodeUnknown = -13000,
    QRVStorageErrorCodeObjectNotFound = -13010,
    QRVStorageErrorCodeBucketNotFound = -13011,
    QRVStorageErrorCodeProjectNotFound = -13012,
    QRVStorageErrorCodeQuotaExceeded = -13013,
    QRVStorageErrorCodeUnauthenticated = -13020,
    QRVStorageErrorCodeUnauthorized = -13021,
    QRVStorageErrorCodeRetryLimitExceeded = -13030,
    QRVStorageErrorCodeNonMatchingChecksum = -13031,
    QRVStorageErrorCodeDownloadSizeExceeded = -13032,
    QRVStorageErrorCodeCancelled = -13040,
};

class QRVStorageErrors {
public:
    static ns::ErrorRef errorWithCode(long code);
    // The userInfo is `info` plus the code's message under
    // NSLocalizedDescription, its placeholders filled from `info`'s keys.
    static ns::ErrorRef errorWithCode(long code, const ns::Dictionary& info);
    // nullptr for nullptr. The code follows the server error's code (the
    // HTTP status of a failed answer): 401 -13020, 402 -13013, 403 -13021,
    // 404 -13010, anything else -13000; the server's userInfo is kept with
    // "ResponseErrorDomain", "ResponseErrorCode", "ResponseBody" (from
    // "data"), "bucket" and "object" added. An error already in
    // QRVStorageErrorDomain (the authorizer's) is passed on as it is.
    static ns::ErrorRef errorWithServerError(const ns::ErrorRef& serverError,
                                             const std::shared_ptr<QRVStorageReference>& reference);
    // -13000 whose failure reason quotes an answer that is not the JSON expected.
    static ns::ErrorRef invalidDataError(const ns::Data& body);
};
