#include "storage/QRVStorageMetadata.h"

#include <cstdlib>
#include <functional>

#include "platform/format.h"
#include "platform/json.h"
#include "storage/QRVStorageConstants.h"
#include "storage/QRVStorageUtils.h"

namespace {

std::optional<std::string> stringFor(const ns::Dictionary& d, const char* key) {
    auto it = d.find(key);
    if (it == d.end() || !it->second.isString()) return std::nullopt;
    return it->second.asString();
}

// A number, or decimal text; 0 when missing or neither.
int64_t integerFor(const ns::Dictionary& d, const char* key) {
    auto it = d.find(key);
    if (it == d.end()) return 0;
    if (it->second.isNumber()) return it->second.intValue();
    if (it->second.isString()) return std::strtoll(it->second.asString().c_str(), nullptr, 10);
    return 0;
}

std::optional<ns::Date> dateFor(const ns::Dictionary& d, const char* key) {
    auto text = stringFor(d, key);
    if (!text) return std::nullopt;
    return QRVStorageMetadata::dateFormatter().dateFromString(*text);
}

std::optional<std::string> lastComponent(const std::optional<std::string>& path) {
    if (!path) return std::nullopt;
    size_t slash = path->rfind('/');
    return slash == std::string::npos ? *path : path->substr(slash + 1);
}

// The value of the first "token" pair of a download URL's query.
std::optional<std::string> tokenOf(const std::string& url) {
    size_t question = url.find('?');
    if (question == std::string::npos) return std::nullopt;
    std::string_view query(url);
    query.remove_prefix(question + 1);
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        size_t eq = pair.find('=');
        if (pair.substr(0, eq) == "token") return std::string(eq == std::string_view::npos ? "" : pair.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

}  // namespace

const ns::DateFormatter& QRVStorageMetadata::dateFormatter() {
    static const auto* formatter = new ns::DateFormatter("yyyy'-'MM'-'dd'T'HH':'mm':'ss.SSSZZZZZ", "en_US_POSIX", 0);
    return *formatter;
}

QRVStorageMetadata::QRVStorageMetadata() = default;

QRVStorageMetadata::QRVStorageMetadata(const ns::Dictionary& d) {
    bucket_ = stringFor(d, kQRVStorageMetadataBucket);
    cacheControl_ = stringFor(d, kQRVStorageMetadataCacheControl);
    contentDisposition_ = stringFor(d, kQRVStorageMetadataContentDisposition);
    contentEncoding_ = stringFor(d, kQRVStorageMetadataContentEncoding);
    contentLanguage_ = stringFor(d, kQRVStorageMetadataContentLanguage);
    contentType_ = stringFor(d, kQRVStorageMetadataContentType);
    if (auto it = d.find(kQRVStorageMetadataCustomMetadata); it != d.end() && it->second.isDictionary()) {
        StringMap custom;
        for (const auto& [key, value] : it->second.asDictionary())
            if (value.isString()) custom[key] = value.asString();
        customMetadata_ = std::move(custom);
    }
    size_ = integerFor(d, kQRVStorageMetadataSize);
    generation_ = integerFor(d, kQRVStorageMetadataGeneration);
    metageneration_ = integerFor(d, kQRVStorageMetadataMetageneration);
    timeCreated_ = dateFor(d, kQRVStorageMetadataTimeCreated);
    updated_ = dateFor(d, kQRVStorageMetadataUpdated);
    path_ = stringFor(d, kQRVStorageMetadataName);
    name_ = lastComponent(path_);
    if (auto it = d.find(kQRVStorageMetadataDownloadURLs); it != d.end() && it->second.isArray()) {
        std::vector<std::string> urls;
        for (const auto& url : it->second.asArray())
            if (url.isString()) urls.push_back(url.asString());
        downloadURLs_ = std::move(urls);
    }
    if (auto tokens = stringFor(d, kQRVStorageMetadataDownloadTokens)) {
        std::vector<std::string> urls;
        size_t start = 0;
        while (start <= tokens->size()) {
            size_t comma = tokens->find(',', start);
            if (comma == std::string::npos) comma = tokens->size();
            urls.push_back(ns::format("%s://%s/v0/b/%s/o/%s?alt=media&token=%s", kQRVStorageScheme,
                                      kQRVStorageHost, bucket_.value_or(""),
                                      QRVStorageUtils::WBNEscapedString(path_.value_or("")),
                                      tokens->substr(start, comma - start)));
            start = comma + 1;
        }
        downloadURLs_ = std::move(urls);
    }
}

std::shared_ptr<QRVStorageMetadata> QRVStorageMetadata::copy() const {
    return std::make_shared<QRVStorageMetadata>(dictionaryRepresentation());
}

std::optional<std::string> QRVStorageMetadata::downloadURL() const {
    if (!downloadURLs_ || downloadURLs_->empty()) return std::nullopt;
    return downloadURLs_->front();
}

ns::Dictionary QRVStorageMetadata::dictionaryRepresentation() const {
    ns::Dictionary d;
    auto put = [&d](const char* key, const std::optional<std::string>& value) {
        if (value) d[key] = *value;
    };
    put(kQRVStorageMetadataBucket, bucket_);
    put(kQRVStorageMetadataCacheControl, cacheControl_);
    put(kQRVStorageMetadataContentDisposition, contentDisposition_);
    put(kQRVStorageMetadataContentEncoding, contentEncoding_);
    put(kQRVStorageMetadataContentLanguage, contentLanguage_);
    put(kQRVStorageMetadataContentType, contentType_);
    if (customMetadata_) {
        ns::Dictionary custom;
        for (const auto& [key, value] : *customMetadata_) custom[key] = value;
        d[kQRVStorageMetadataCustomMetadata] = std::move(custom);
    }
    if (downloadURLs_) {
        std::string tokens;
        bool first = true;
        for (const auto& url : *downloadURLs_) {
            auto token = tokenOf(url);
            if (!token) continue;
            if (!first) tokens += ',';
            tokens += *token;
            first = false;
        }
        d[kQRVStorageMetadataDownloadTokens] = tokens;
    }
    if (generation_ != 0) d[kQRVStorageMetadataGeneration] = ns::format("%lld", (long long)generation_);
    if (metageneration_ != 0) d[kQRVStorageMetadataMetageneration] = ns::format("%lld", (long long)metageneration_);
    if (timeCreated_) d[kQRVStorageMetadataTimeCreated] = dateFormatter().stringFromDate(*timeCreated_);
    if (updated_) d[kQRVStorageMetadataUpdated] = dateFormatter().stringFromDate(*updated_);
    put(kQRVStorageMetadataName, path_);
    return d;
}

bool QRVStorageMetadata::isEqual(const QRVStorageMetadata& other) const {
    return this == &other || dictionaryRepresentation() == other.dictionaryRepresentation();
}

std::size_t QRVStorageMetadata::hash() const {
    return std::hash<std::string>{}(ns::json::serialize(ns::Value(dictionaryRepresentation())));
}

std::string QRVStorageMetadata::description() const {
    return ns::format("%s %p: %@", className(), static_cast<const void*>(this), ns::Value(dictionaryRepresentation()));
}
