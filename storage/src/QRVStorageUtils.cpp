#include "storage/QRVStorageUtils.h"

#include "platform/json.h"
#include "platform/mime_types.h"
#include "platform/url.h"
#include "storage/QRVStorageConstants.h"

std::string QRVStorageUtils::WBNEscapedString(std::string_view string) {
    return ns::percentEncode(string, "-._~!$'()*,;=:@");
}

std::string QRVStorageUtils::encodedURLForPath(const QRVStoragePath& path) {
    std::string url = "/v0/b/" + WBNEscapedString(path.bucket()) + "/o";
    if (path.object()) url += "/" + WBNEscapedString(*path.object());
    return url;
}

ns::URLRequest QRVStorageUtils::defaultRequestForPath(const QRVStoragePath& path) {
    return ns::URLRequest(std::string(kQRVStorageScheme) + "://" + kQRVStorageHost + encodedURLForPath(path));
}

std::string QRVStorageUtils::queryStringForDictionary(
    const std::optional<std::map<std::string, std::string>>& dictionary) {
    std::string query;
    if (!dictionary) return query;
    for (const auto& [key, value] : *dictionary) {
        if (!query.empty()) query += '&';
        query += WBNEscapedString(key + "=" + value);
    }
    return query;
}

std::optional<std::string> QRVStorageUtils::MIMETypeForExtension(const std::optional<std::string>& extension) {
    if (!extension) return std::nullopt;
    return ns::mimeTypeForExtension(*extension);
}

ns::Value qvs_dictionaryFromJSONData(const ns::Data& data) { return ns::json::parse(data); }

ns::Data qvs_dataFromJSONDictionary(const ns::Dictionary& dictionary) {
    std::string text = ns::json::serialize(ns::Value(dictionary));
    return ns::Data(text.begin(), text.end());
}
