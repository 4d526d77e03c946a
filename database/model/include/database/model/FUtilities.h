#pragma once
// Small shared helpers of the database: its logging switch, key order and the
// two sentinel keys, status-to-error mapping, the process-wide local id
// counter, URL parsing and number/text helpers used by hashing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database/model/FPath.h"
#include "database/model/FRepoInfo.h"
#include "platform/error.h"
#include "platform/value.h"

// Levels of the database's own logging switch: 1 debug, 2 info/errors,
// 3 warnings.
enum FLogLevel : unsigned {
    FLogLevelDebug = 1,
    FLogLevelInfo = 2,
    FLogLevelWarn = 3,
};

// YES when the database's log level is at most `level`. The level starts at
// 2, so only debug lines depend on +[FUtilities setLoggingEnabled:].
bool FFIsLoggingEnabled(unsigned level);

// Ordering results, as NSComparisonResult.
enum FComparisonResult : int {
    FOrderedAscending = -1,
    FOrderedSame = 0,
    FOrderedDescending = 1,
};

inline constexpr const char* kQuorvaneErrorDomain = "com.quorvane";

// The outcome of +[FUtilities parseUrl:].
struct FParsedUrl {
    std::shared_ptr<FRepoInfo> repoInfo;
    FPath path;
};

class FUtilities {
public:
    // Debug lines pass only while logging is enabled.
    static void setLoggingEnabled(bool enabled);

    // nullptr for "ok"; otherwise an error of domain "com.quorvane".
    static ns::ErrorRef errorForStatus(const std::string& status, const std::optional<std::string>& reason);

    // The next value of the process-wide counter behind observer handles,
    // transaction ids and connection ids (starts at 1).
    static uint64_t LUIDGenerator();

    // Consecutive pieces of at most `size` UTF-16 units; a character outside
    // the Basic Multilingual Plane is never cut in two (a piece holding one
    // such character may be 2 units when `size` is 1). Size 0 raises
    // NSInvalidArgumentException.
    static std::vector<std::string> splitString(const std::string& str, unsigned size);

    // Uniform in [0, 1).
    static double randomDouble();

    // Raises "No Quorvane database specified." unless the host has exactly
    // three labels.
    static FParsedUrl parseUrl(const std::string& url);

    // "[MIN_NAME]" and "[MAX_NAME]": made once, sorting before and after every
    // key.
    static const std::string& minName();
    static const std::string& maxName();

    // Key order: the sentinels at the ends, canonical 32-bit integers first in
    // numeric order, then every other key in UTF-16 code-unit order.
    static int compareKey(std::string_view a, std::string_view b);
    // The first eight bytes of a key as a big-endian number (zeros after a
    // shorter key) when they order it as compareKey does against any other
    // key with such a number: keys of ASCII text that cannot be integers or
    // sentinels. 0 for every other key.
    static uint64_t keyOrderPrefix(std::string_view key);

    // The value of a key that is a canonical 32-bit signed integer (no leading
    // zero, no "+", no "-0").
    static std::optional<int32_t> intForString(std::string_view key);

    // "boolean", "number" or "string"; "object" for anything else.
    static std::string getJavascriptType(const ns::Value& value);

    // 16 lower-case hex digits of the number's IEEE 754 double, most
    // significant byte first.
    static std::string ieee754StringForNumber(const ns::Value& number);
    static std::string ieee754StringForDouble(double d);

    // Numeric order of two numbers (Int, UInt or Double), exact across kinds.
    static int compareNumbers(const ns::Value& a, const ns::Value& b);
};

// Key order as a comparator for sorted dictionaries.
struct FKeyComparator {
    int operator()(std::string_view a, std::string_view b) const { return FUtilities::compareKey(a, b); }
    static uint64_t orderPrefix(std::string_view key) { return FUtilities::keyOrderPrefix(key); }
};
