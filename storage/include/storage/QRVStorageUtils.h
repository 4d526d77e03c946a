#pragma once
// Turning storage paths into REST URLs and requests, query strings, MIME
// types from file extensions, and the JSON helpers the tasks parse answers
// with. Class functions only; usable from any thread.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/http.h"
#include "platform/value.h"
#include "storage/QRVStoragePath.h"

class QRVStorageUtils {
public:
    // Percent-encodes (as UTF-8) everything outside
    // "A-Z a-z 0-9 -._~!$'()*,;=:@": "/" becomes %2F, " " %20, "%" %25.
    static std::string WBNEscapedString(std::string_view string);
    // "/v0/b/<bucket>/o/<object>", both escaped; "/v0/b/<bucket>/o" for the root.
    static std::string encodedURLForPath(const QRVStoragePath& path);
    // A request for https://<storage host><encoded path>, nothing else set.
    static ns::URLRequest defaultRequestForPath(const QRVStoragePath& path);
    // "key=value" pairs, each escaped ("=" kept), joined with "&"; "" for none.
    static std::string queryStringForDictionary(const std::optional<std::map<std::string, std::string>>& dictionary);
    // The platform registry's MIME type for the extension, nullopt when none.
    static std::optional<std::string> MIMETypeForExtension(const std::optional<std::string>& extension);
};

// The JSON value of the bytes (any kind; mutable containers are ns values
// anyway), a null Value for unparsable bytes.
ns::Value qvs_dictionaryFromJSONData(const ns::Data& data);
// Compact JSON of the dictionary.
ns::Data qvs_dataFromJSONDictionary(const ns::Dictionary& dictionary);
