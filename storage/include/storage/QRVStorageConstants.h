#pragma once
// The storage client's request and error vocabulary: URL pieces, header
// formats, error-domain keys, the client version and the metadata keys.

inline constexpr const char* kQRVStorageScheme = "https";
// The storage REST service. The platform's host routing sends it to the
// local back end.
inline constexpr const char* kQRVStorageHost = "quorvanestorage.quorvaneapis.com";
// Where the quota message sends people.
inline constexpr const char* kQRVStorageConsoleHost = "console.quorvane.com";
inline constexpr const char* kQRVStorageVersionPath = "v0";
inline constexpr const char* kQRVStorageBucketPathFormat = "b/%@";
inline constexpr const char* kQRVStorageObjectPathFormat = "o/%@";
inline constexpr const char* kQRVStorageFullPathFormat = "/v0/b/%@/o/%@";
inline constexpr const char* kQRVStorageAuthTokenFormat = "Quorvane %@";
inline constexpr const char* kQRVStorageResponseErrorDomain = "ResponseErrorDomain";
inline constexpr const char* kQRVStorageResponseErrorCode = "ResponseErrorCode";
inline constexpr const char* kQRVStorageResponseBody = "ResponseBody";
inline constexpr const char* QRVStorageErrorDomain = "QRVStorageErrorDomain";
inline constexpr const char* kQRVStorageInvalidDataFormat = "Invalid data returned from the server: %@";
inline constexpr const char* kQRVStorageInvalidObserverStatus =
    "Invalid observer status requested, use one of: QRVStorageTaskStatusPause, Resume, Progress, Complete, or "
    "Failure";
inline constexpr const char* QRVStorageVersionString = "2.0.0";

// Headers the token authorizer stamps on every request.
inline constexpr const char* kQRVStorageVersionHeader = "x-quorvane-storage-version";
inline constexpr const char* kQRVStorageAppIDHeader = "x-quorvane-vlpid";

// Metadata JSON keys.
inline constexpr const char* kQRVStorageMetadataBucket = "bucket";
inline constexpr const char* kQRVStorageMetadataCacheControl = "cacheControl";
inline constexpr const char* kQRVStorageMetadataContentDisposition = "contentDisposition";
inline constexpr const char* kQRVStorageMetadataContentEncoding = "contentEncoding";
inline constexpr const char* kQRVStorageMetadataContentLanguage = "contentLanguage";
inline constexpr const char* kQRVStorageMetadataContentType = "contentType";
inline constexpr const char* kQRVStorageMetadataCustomMetadata = "metadata";
inline constexpr const char* kQRVStorageMetadataSize = "size";
inline constexpr const char* kQRVStorageMetadataDownloadURLs = "downloadURLs";
inline constexpr const char* kQRVStorageMetadataGeneration = "generation";
inline constexpr const char* kQRVStorageMetadataMetageneration = "metageneration";
inline constexpr const char* kQRVStorageMetadataTimeCreated = "timeCreated";
inline constexpr const char* kQRVStorageMetadataUpdated = "updated";
inline constexpr const char* kQRVStorageMetadataName = "name";
inline constexpr const char* kQRVStorageMetadataDownloadTokens = "downloadTokens";
