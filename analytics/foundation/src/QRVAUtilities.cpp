#include "analytics/QRVAUtilities.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>

#include "analytics/QRVAMonitor.h"
#include "platform/crypto.h"
#include "platform/file_manager.h"
#include "platform/regular_expression.h"
#include "platform/store_writes.h"
#include "platform/url.h"
#include "platform/utf8.h"

// MARK: - File paths

std::string QRVAFilePathForDatabaseName(const std::string& name) {
    if (name.empty()) return "";
    std::string directory = ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::ApplicationSupport);
    if (directory.empty()) {
        QRVAMeasurementMonitor()->logWithLevel(1, 19001, "NSSearchPath for ApplicationSupport directory is empty");
        return "";
    }
    return directory + "/" + kQRVAMeasurementApplicationSupportSubdirectory + "/" + name;
}

namespace {

std::string preferencesPath(const std::string& name, const std::function<QRVAMonitor&()>& monitor) {
    if (name.empty()) return "";
    std::string directory = ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::Library);
    if (directory.empty()) {
        monitor().logWithLevel(1, 19000, "NSSearchPath for Library directory is empty");
        return "";
    }
    return directory + "/Preferences/" + name + ".plist";
}

}  // namespace

std::string QRVAFilePathForPreferencesName(const std::string& name) {
    return preferencesPath(name, []() -> QRVAMonitor& { return *QRVAMeasurementMonitor(); });
}

std::string QRVAFilePathForPreferencesName(const std::string& name, QRVAMonitor& monitor) {
    return preferencesPath(name, [&]() -> QRVAMonitor& { return monitor; });
}

bool QRVAExcludeFilePathFromBackup(const std::string& path, ns::ErrorRef* error) {
    return ns::FileManager::defaultManager().setExcludedFromBackup(path, true, error);
}

bool QRVADeleteDatabaseFile(const std::string& name, ns::ErrorRef* error) {
    if (name.empty()) {
        QRVASetError(error, 1, "Received empty name for deleting database file");
        return false;
    }
    // The journal goes with the file: a hot journal left beside a new file of
    // the same name would be rolled back into it. The caller closes the store
    // first.
    const std::string path = QRVAFilePathForDatabaseName(name);
    auto& files = ns::FileManager::defaultManager();
    ns::StoreWrite write("analytics delete");
    if (write.failure()) {
        if (error) *error = ns::fileError(write.failure(), path, true, "remove");
        return false;
    }
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        if (files.fileExists(path + suffix) && !files.removeItem(path + suffix, error)) {
            return false;
        }
    }
    return files.removeItem(path, error);
}

// MARK: - Code points

size_t qrva_UTF32Length(std::string_view text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++count) i += std::max<size_t>(ns::utf8::sequenceLength(text, i), 1);
    return count;
}

std::optional<std::u32string> qrva_getUTF32Bytes(std::string_view text, size_t maxBytes) {
    auto codePoints = ns::utf8::codePoints(ns::utf8::isValid(text) ? std::string(text) : ns::utf8::sanitized(text));
    if (!codePoints) return std::nullopt;
    codePoints->resize(std::min(codePoints->size(), maxBytes / sizeof(char32_t)));
    if (codePoints->empty()) return std::nullopt;
    return codePoints;
}

// MARK: - Numeric strings

namespace {

constexpr const char* kNumericPattern = R"(^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$)";

// Compiled on first use; a pattern that failed to compile is tried again on
// the next call.
std::shared_ptr<ns::RegularExpression> numericExpression() {
    static auto* mutex = new std::mutex();
    static auto* compiled = new std::shared_ptr<ns::RegularExpression>();
    std::lock_guard lock(*mutex);
    if (!*compiled) {
        ns::ErrorRef error;
        *compiled = ns::RegularExpression::make(kNumericPattern, true, &error);
        if (!*compiled) {
            QRVAMeasurementMonitor()->logWithLevel(1, 26000, "Unable to initialize decimal number regexp. Regex, error",
                                                   ns::Value(kNumericPattern), QRVAErrorContext(error));
        }
    }
    return *compiled;
}

}  // namespace

bool QRVAIsValidNumericString(std::string_view text) {
    auto expression = numericExpression();
    return expression && !text.empty() && expression->matchesWhole(text);
}

std::optional<ns::DecimalNumber> QRVAParseNumericValueFromString(std::string_view text) {
    auto monitor = QRVAMeasurementMonitor();
    if (!QRVAIsValidNumericString(text)) {
        monitor->logWithLevel(1, 26001, "String value does not represent a numeric value. Value", ns::Value(text));
        return std::nullopt;
    }
    auto number = ns::DecimalNumber::fromString(text, "en_US");
    if (!number) {
        monitor->logWithLevel(1, 26002, "Unable to create a NSDecimalNumber from string value. Value", ns::Value(text));
        return std::nullopt;
    }
    // The decimal's own text must be found in the string: a value with more
    // digits than the decimal keeps comes back rounded and is refused.
    std::string compared(text);
    if (compared.starts_with("+.") || compared.starts_with("-.") || compared.starts_with(".")) {
        std::string widened;
        for (char c : compared) widened += c == '.' ? std::string("0.") : std::string(1, c);
        compared = std::move(widened);
    }
    std::optional<ns::DecimalNumber> shown = number;
    if (number->isNegative()) shown = number->multiply(ns::DecimalNumber::fromInt64(-1));
    if (!shown || compared.find(shown->description()) == std::string::npos) {
        monitor->logWithLevel(1, 26003, "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
                              ns::Value(compared));
        return std::nullopt;
    }
    return number;
}

int64_t QRVANumericUtil::randomInt64() {
    int64_t value = 0;
    try {
        ns::Data bytes = ns::crypto::randomBytes(sizeof value);
        std::memcpy(&value, bytes.data(), sizeof value);
    } catch (const ns::Exception& e) {
        QRVAMeasurementMonitor()->logWithLevel(4, 26004, "Unable to generate random integer", ns::Value(e.reason()));
    }
    return value;
}

// MARK: - Digests

ns::Data qrva_MD5Data(const ns::Data& data) { return ns::crypto::md5(data); }

int64_t qrva_64LeastSignificantBits(const ns::Data& data) {
    uint64_t bits = 0;
    for (size_t i = data.size() - std::min<size_t>(8, data.size()); i < data.size(); ++i) bits = bits << 8 | data[i];
    return static_cast<int64_t>(bits);
}

int64_t qrva_64LSBMD5(const ns::Data& data) { return qrva_64LeastSignificantBits(qrva_MD5Data(data)); }

std::optional<std::string> qrva_MD5String(std::string_view text) {
    if (!ns::utf8::isValid(text)) return std::nullopt;
    return ns::crypto::hex(ns::crypto::md5(text));
}

// MARK: - Query strings

std::optional<std::string> qrva_stringByUnescapingFromURLArgument(std::string_view text) {
    std::string spaced(text);
    std::replace(spaced.begin(), spaced.end(), '+', ' ');
    auto decoded = ns::percentDecodeStrict(spaced);
    if (!decoded || !ns::utf8::isValid(*decoded)) return std::nullopt;
    return decoded;
}

std::string qrva_queryString(const std::vector<std::pair<std::string, ns::Value>>& arguments) {
    // What URLs may hold as they are (RFC 2396's unreserved and reserved
    // characters and the fragment mark); everything else, "%" included, is
    // escaped.
    constexpr std::string_view kLegal = "-_.!~*'();/?:@&=+$,#";
    std::string query;
    for (const auto& [key, value] : arguments) {
        if (!query.empty()) query += "&";
        query += ns::percentEncode(key, kLegal) + "=" + ns::percentEncode(value.description(), kLegal);
    }
    return query;
}

ns::Dictionary qrva_dictionaryWithHttpArgumentsString(std::string_view text) {
    std::vector<std::string_view> pieces;
    for (size_t start = 0;;) {
        size_t end = text.find('&', start);
        pieces.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    ns::Dictionary arguments;
    // Backwards, so that the first occurrence of a key is the one kept.
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
        if (it->empty()) continue;
        size_t equals = it->find('=');
        auto key = qrva_stringByUnescapingFromURLArgument(it->substr(0, equals));
        std::optional<std::string> value = std::string();
        if (equals != std::string_view::npos) value = qrva_stringByUnescapingFromURLArgument(it->substr(equals + 1));
        arguments[key.value_or("")] = value.value_or("");
    }
    return arguments;
}
