#pragma once
// The description of one stored object as the storage REST service reports
// it in JSON and as the client sends it with an upload or a metadata update.
//
// Not thread-safe: fill it on one thread, then hand it over; the tasks keep
// their own copies.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/date_formatter.h"
#include "platform/value.h"

class QRVStorageReference;

enum QRVStorageMetadataType : uint64_t {
    QRVStorageMetadataTypeUnknown = 0,
    QRVStorageMetadataTypeFile = 1,
    QRVStorageMetadataTypeFolder = 2,
};

class QRVStorageMetadata : public ns::Object {
public:
    using StringMap = std::map<std::string, std::string>;

    // Every field empty, type unknown.
    QRVStorageMetadata();
    // From the service's JSON; "downloadTokens" become download URLs.
    explicit QRVStorageMetadata(const ns::Dictionary& dictionary);

    // A new object built from dictionaryRepresentation(): size, type and
    // reference are not carried over.
    std::shared_ptr<QRVStorageMetadata> copy() const;

    const std::optional<std::string>& bucket() const { return bucket_; }
    const std::optional<std::string>& cacheControl() const { return cacheControl_; }
    void setCacheControl(std::optional<std::string> v) { cacheControl_ = std::move(v); }
    const std::optional<std::string>& contentDisposition() const { return contentDisposition_; }
    void setContentDisposition(std::optional<std::string> v) { contentDisposition_ = std::move(v); }
    const std::optional<std::string>& contentEncoding() const { return contentEncoding_; }
    void setContentEncoding(std::optional<std::string> v) { contentEncoding_ = std::move(v); }
    const std::optional<std::string>& contentLanguage() const { return contentLanguage_; }
    void setContentLanguage(std::optional<std::string> v) { contentLanguage_ = std::move(v); }
    const std::optional<std::string>& contentType() const { return contentType_; }
    void setContentType(std::optional<std::string> v) { contentType_ = std::move(v); }
    const std::optional<StringMap>& customMetadata() const { return customMetadata_; }
    void setCustomMetadata(std::optional<StringMap> v) { customMetadata_ = std::move(v); }
    int64_t size() const { return size_; }
    int64_t generation() const { return generation_; }
    int64_t metageneration() const { return metageneration_; }
    const std::optional<ns::Date>& timeCreated() const { return timeCreated_; }
    const std::optional<ns::Date>& updated() const { return updated_; }
    // The full object path inside the bucket ("name" in JSON).
    const std::optional<std::string>& path() const { return path_; }
    void setPath(std::optional<std::string> v) { path_ = std::move(v); }
    // The last component of the path.
    const std::optional<std::string>& name() const { return name_; }
    void setName(std::optional<std::string> v) { name_ = std::move(v); }
    const std::optional<std::vector<std::string>>& downloadURLs() const { return downloadURLs_; }
    // The first download URL.
    std::optional<std::string> downloadURL() const;
    QRVStorageMetadataType type() const { return type_; }
    void setType(QRVStorageMetadataType t) { type_ = t; }
    bool isFile() const { return type_ == QRVStorageMetadataTypeFile; }
    bool isFolder() const { return type_ == QRVStorageMetadataTypeFolder; }
    const std::shared_ptr<QRVStorageReference>& reference() const { return reference_; }
    void setReference(std::shared_ptr<QRVStorageReference> r) { reference_ = std::move(r); }

    // Only what is set: at most the thirteen JSON keys of an upload or update.
    ns::Dictionary dictionaryRepresentation() const;

    bool isEqual(const QRVStorageMetadata& other) const;
    std::size_t hash() const;
    std::string description() const override;
    std::string className() const override { return "QRVStorageMetadata"; }

    // "yyyy'-'MM'-'dd'T'HH':'mm':'ss.SSSZZZZZ" in en_US_POSIX at GMT, one
    // for the process.
    static const ns::DateFormatter& dateFormatter();

private:
    std::optional<std::string> bucket_;
    std::optional<std::string> cacheControl_;
    std::optional<std::string> contentDisposition_;
    std::optional<std::string> contentEncoding_;
    std::optional<std::string> contentLanguage_;
    std::optional<std::string> contentType_;
    std::optional<StringMap> customMetadata_;
    int64_t size_ = 0;
    int64_t generation_ = 0;
    int64_t metageneration_ = 0;
    std::optional<ns::Date> timeCreated_;
    std::optional<ns::Date> updated_;
    std::optional<std::string> path_;
    std::optional<std::string> name_;
    std::optional<std::vector<std::string>> downloadURLs_;
    QRVStorageMetadataType type_ = QRVStorageMetadataTypeUnknown;
    std::shared_ptr<QRVStorageReference> reference_;
};
using QRVStorageMetadataPtr = std::shared_ptr<QRVStorageMetadata>;
