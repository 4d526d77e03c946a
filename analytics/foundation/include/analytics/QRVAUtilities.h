#pragma once
// Small helpers of the analytics client: where its files live (and keeping
// them out of backups), text measured in Unicode code points, numeric
// strings, random numbers, MD5 digests and URL query strings.
//
// Any thread may call these; they keep no state beyond a compiled pattern.
// Failures are logged through the monitor (analytics/QRVAMonitor.h).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/decimal_number.h"
#include "platform/error.h"
#include "platform/value.h"

class QRVAMonitor;

// Under Application Support: the folder of the analytics store.
inline constexpr const char* kQRVAMeasurementApplicationSupportSubdirectory = "Ondrix/Measurement";

// <Application Support>/Ondrix/Measurement/<name>; "" for an empty name, or
// (logged, 19001) when there is no Application Support folder.
std::string QRVAFilePathForDatabaseName(const std::string& name);
// <Library>/Preferences/<name>.plist, the file of a user-defaults suite; ""
// for an empty name, or (logged, 19000) when there is no Library folder.
std::string QRVAFilePathForPreferencesName(const std::string& name);
// The same, logging a missing Library folder to `monitor`: the monitor's own
// path, taken while the shared monitor is being made (and its lock held), so
// it must not reach for the shared monitor.
std::string QRVAFilePathForPreferencesName(const std::string& name, QRVAMonitor& monitor);
// Marks the file as excluded from backup; the file manager's answer and error.
bool QRVAExcludeFilePathFromBackup(const std::string& path, ns::ErrorRef* error);
// Removes the store file of that name. An empty name is error 1.
bool QRVADeleteDatabaseFile(const std::string& name, ns::ErrorRef* error);

// The number of Unicode code points (what the UTF-32 form holds, four bytes
// each). Texts are UTF-8; a byte that starts no well-formed sequence counts
// as one (it would read as U+FFFD).
size_t qrva_UTF32Length(std::string_view text);
// The text's code points, at most maxBytes / 4 of them (the UTF-32 form cut
// to a buffer of maxBytes); nullopt when that gives none. Bytes that start
// no well-formed sequence read as U+FFFD.
std::optional<std::u32string> qrva_getUTF32Bytes(std::string_view text, size_t maxBytes);

// An optional sign, then digits with an optional trailing point, or
// optional digits, a point and digits ("12", "12.", ".5", "-0.5", "+3").
bool QRVAIsValidNumericString(std::string_view text);
// The exact decimal of a valid numeric string; nullopt (logged: 26001 not
// numeric, 26002 not readable, 26003 more significant digits than the
// decimal keeps) otherwise.
std::optional<ns::DecimalNumber> QRVAParseNumericValueFromString(std::string_view text);

class QRVANumericUtil {
public:
    // Eight bytes of the secure random source; 0 (logged, 26004) when it fails.
    static int64_t randomInt64();
};

// The 16-byte MD5 digest.
ns::Data qrva_MD5Data(const ns::Data& data);
// The last (up to) eight bytes read as a big-endian number.
int64_t qrva_64LeastSignificantBits(const ns::Data& data);
// The 64 least significant bits of the MD5 digest.
int64_t qrva_64LSBMD5(const ns::Data& data);
// 32 lower-case hex digits of the MD5 of the text; nullopt for text that is
// not UTF-8.
std::optional<std::string> qrva_MD5String(std::string_view text);

// A URL argument as text: "+" is a space, then percent escapes are decoded;
// nullopt for a malformed escape or bytes that are not UTF-8.
std::optional<std::string> qrva_stringByUnescapingFromURLArgument(std::string_view text);
// "key=value&..." in the caller's order, keys and values as their text
// (%@) with every character that is not legal in a URL escaped.
std::string qrva_queryString(const std::vector<std::pair<std::string, ns::Value>>& arguments);
// The arguments of a query string; a piece without "=" is a key with the
// empty value, a piece that does not unescape reads as "", and the first
// occurrence of a repeated key wins.
ns::Dictionary qrva_dictionaryWithHttpArgumentsString(std::string_view text);
