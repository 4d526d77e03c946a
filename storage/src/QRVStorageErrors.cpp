#include "storage/QRVStorageErrors.h"

#include "platform/format.h"
#include "platform/utf8.h"
#include "storage/QRVStorageReference.h"

namespace {

constexpr const char* kUnknownMessage = "An unknown error occurred, please check the server response.";

// A key of the info dictionary as text for a message ("(null)" when absent).
std::string infoText(const ns::Dictionary& info, const char* key) {
    auto it = info.find(key);
    if (it == info.end() || it->second.isNull()) return "(null)";
    if (it->second.isString()) return it->second.asString();
    return it->second.description();
}

std::string sizeText(const ns::Dictionary& info, const char* key) {
    auto it = info.find(key);
    if (it == info.end()) return "unknown";
    if (it->second.isNumber()) return std::to_string(it->second.intValue());
    return it->second.isString() ? it->second.asString() : it->second.description();
}

std::string messageForCode(long code, const ns::Dictionary& info) {
    switch (code) {
        case QRVStorageErrorCodeObjectNotFound:
            return ns::format("Object %@ does not exist.", infoText(info, "object"));
        case QRVStorageErrorCodeBucketNotFound:
            return ns::format("Bucket %@ does not exist.", infoText(info, "bucket"));
        case QRVStorageErrorCodeProjectNotFound:
            return ns::format("Project %@ does not exist.", infoText(info, "project"));
        case QRVStorageErrorCodeQuotaExceeded:
            return ns::format("Quota for bucket %@ exceeded, please view quota on %s.", infoText(info, "bucket"),
                              kQRVStorageConsoleHost);
        case QRVStorageErrorCodeUnauthenticated:
            return "User is not authenticated, please authenticate using Quorvane Authentication and try again.";
        case QRVStorageErrorCodeUnauthorized:
            return ns::format("User does not have permission to access vbk://%@/%@.", infoText(info, "bucket"),
                              infoText(info, "object"));
        case QRVStorageErrorCodeRetryLimitExceeded:
            return "Max retry time for operation exceeded, please try again.";
        case QRVStorageErrorCodeNonMatchingChecksum:
            return ns::format("Uploaded/downloaded object %@ has checksum: %@ which does not match server checksum: "
                              "%@. Please retry the upload/download.",
                              "object", "client checksum", "server checksum");
        case QRVStorageErrorCodeDownloadSizeExceeded: {
            auto total = info.find("totalSize");
            bool known = total != info.end() && total->second.isNumber() && total->second.intValue() != 0;
            std::string totalText = known ? sizeText(info, "totalSize") : "unknown";
            std::string maxText = known ? sizeText(info, "maxAllowedSize") : "unknown";
            return ns::format("Attempeted to download object with size of %@ bytes, which exceeds the maximum size of "
                              "%@ bytes. Consider raising the maximum download size, or using "
                              "[QRVStorageReference writeToFile:]",
                              totalText, maxText);
        }
        case QRVStorageErrorCodeCancelled: return "User cancelled the upload/download.";
        default: return kUnknownMessage;
    }
}

}  // namespace

ns::ErrorRef QRVStorageErrors::errorWithCode(long code) { return errorWithCode(code, ns::Dictionary{}); }

ns::ErrorRef QRVStorageErrors::errorWithCode(long code, const ns::Dictionary& info) {
    ns::Dictionary userInfo = info;
    userInfo[ns::kLocalizedDescriptionKey] = messageForCode(code, info);
    return ns::Error::make(QRVStorageErrorDomain, code, std::move(userInfo));
}

ns::ErrorRef QRVStorageErrors::errorWithServerError(const ns::ErrorRef& serverError,
                                                    const std::shared_ptr<QRVStorageReference>& reference) {
    if (!serverError) return nullptr;
    // Already a storage error (the token authorizer's): it says more than
    // the unknown code the table would make of it.
    if (serverError->domain() == QRVStorageErrorDomain) return serverError;
    long code;
    switch (serverError->code()) {
        case 400: code = QRVStorageErrorCodeUnknown; break;
        case 401: code = QRVStorageErrorCodeUnauthenticated; break;
        case 402: code = QRVStorageErrorCodeQuotaExceeded; break;
        case 403: code = QRVStorageErrorCodeUnauthorized; break;
        case 404: code = QRVStorageErrorCodeObjectNotFound; break;
        default: code = QRVStorageErrorCodeUnknown; break;
    }
    ns::Dictionary info = serverError->userInfo();
    info[kQRVStorageResponseErrorDomain] = serverError->domain();
    info[kQRVStorageResponseErrorCode] = int64_t(serverError->code());
    if (auto it = serverError->userInfo().find("data"); it != serverError->userInfo().end() && it->second.isData()) {
        const ns::Data& body = it->second.asData();
        auto text = ns::utf8::decode(body.data(), body.size());
        info[kQRVStorageResponseBody] = text ? *text : std::string("No Response from Server.");
    }
    if (reference) {
        info["bucket"] = reference->bucket();
        info["object"] = reference->fullPath();
    }
    return errorWithCode(code, info);
}

ns::ErrorRef QRVStorageErrors::invalidDataError(const ns::Data& body) {
    auto text = ns::utf8::decode(body.data(), body.size());
    ns::Dictionary info;
    info[ns::kLocalizedFailureReasonErrorKey] = ns::format(kQRVStorageInvalidDataFormat, text.value_or(""));
    return errorWithCode(QRVStorageErrorCodeUnknown, info);
}
