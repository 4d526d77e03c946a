#include "database/model/FUtilities.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "core/QRVLogger.h"
#include "database/model/FAtomicNumber.h"
#include "database/model/FStringUtilities.h"
#include "platform/crypto.h"
#include "platform/format.h"
#include "platform/no_destructor.h"

namespace {

std::atomic<unsigned> gLogLevel{FLogLevelInfo};

std::string lowercased(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return out;
}

// Length in bytes of the character starting at `i` (1 for stray bytes).
size_t characterBytes(const std::string& s, size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >= 0xF0 && c <= 0xF4) ? 4 : (c >= 0xE0) ? 3 : (c >= 0xC2 && c <= 0xDF) ? 2 : 1;
    if (i + n > s.size()) return 1;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
    }
    return n;
}

}  // namespace

bool FFIsLoggingEnabled(unsigned level) { return gLogLevel.load(std::memory_order_relaxed) <= level; }

void FUtilities::setLoggingEnabled(bool enabled) {
    gLogLevel.store(enabled ? FLogLevelDebug : FLogLevelInfo, std::memory_order_relaxed);
}

ns::ErrorRef FUtilities::errorForStatus(const std::string& status, const std::optional<std::string>& reason) {
    if (status == "ok") return nullptr;
    long code = 9999;
    std::string description = status;
    if (status == "permission_denied") {
        code = 1;
        description = "Permission Denied";
    } else if (status == "unavailable") {
        code = 2;
        description = "Service is unavailable";
    } else if (status == "write_canceled") {
        code = 3;
        description = "Write cancelled by user";
    }
    if (reason) description = *reason;
    return ns::Error::make(kQuorvaneErrorDomain, code, description);
}

uint64_t FUtilities::LUIDGenerator() {
    static FAtomicNumber counter;
    return counter.getAndIncrement();
}

std::vector<std::string> FUtilities::splitString(const std::string& str, unsigned size) {
    if (size == 0) {
        throw ns::Exception(ns::kInvalidArgumentException, "splitString:intoMaxSize: needs a size above 0");
    }
    if (FStringUtilities::utf16Length(str) <= size) return {str};
    std::vector<std::string> pieces;
    size_t pieceStart = 0;
    size_t pieceUnits = 0;
    for (size_t i = 0; i < str.size();) {
        size_t n = characterBytes(str, i);
        size_t units = n == 4 ? 2 : 1;
        if (pieceUnits > 0 && pieceUnits + units > size) {
            pieces.push_back(str.substr(pieceStart, i - pieceStart));
            pieceStart = i;
            pieceUnits = 0;
        }
        pieceUnits += units;
        i += n;
    }
    if (pieceStart < str.size()) pieces.push_back(str.substr(pieceStart));
    return pieces;
}

double FUtilities::randomDouble() { return double(ns::crypto::random32()) * std::ldexp(1.0, -32); }

FParsedUrl FUtilities::parseUrl(const std::string& url) {
    std::string_view rest(url);
    std::string scheme;
    auto schemeEnd = rest.find("//");
    if (schemeEnd != std::string_view::npos) {
        std::string_view schemeText = rest.substr(0, schemeEnd);
        if (!schemeText.empty() && schemeText.back() == ':') schemeText.remove_suffix(1);
        scheme = lowercased(schemeText);
        rest.remove_prefix(schemeEnd + 2);
    }
    auto slash = rest.find('/');
    std::string host = lowercased(rest.substr(0, slash));
    std::string pathText = slash == std::string_view::npos ? std::string() : std::string(rest.substr(slash + 1));

    std::vector<std::string_view> labels;
    size_t begin = 0;
    while (true) {
        auto dot = host.find('.', begin);
        labels.push_back(std::string_view(host).substr(begin, dot == std::string::npos ? std::string::npos : dot - begin));
        if (dot == std::string::npos) break;
        begin = dot + 1;
    }
    if (labels.size() != 3) {
        throw ns::Exception("No Quorvane database specified.",
                            ns::format("No Quorvane database found for input: %@", url));
    }
    bool hasPort = labels[2].find(':') != std::string_view::npos;
    bool secure = !(hasPort && scheme != "https");
    std::string repoNamespace = lowercased(labels[0]);
    FPath path("/" + FStringUtilities::urlDecoded(pathText));
    auto repoInfo = std::make_shared<FRepoInfo>(host, secure, repoNamespace);
    if (FFIsLoggingEnabled(FLogLevelDebug)) {
        QRVLogDebug(kQRVLoggerDatabase, "I-RDB095002", "---> Parsed (%@) to: (%@,%@); ns=(%@); path=(%@)", url, scheme,
                    host, repoNamespace, path.toString());
    }
    return FParsedUrl{std::move(repoInfo), std::move(path)};
}

const std::string& FUtilities::minName() {
    static const ns::NoDestructor<std::string> kMinName("[MIN_NAME]");
    return *kMinName;
}

const std::string& FUtilities::maxName() {
    static const ns::NoDestructor<std::string> kMaxName("[MAX_NAME]");
    return *kMaxName;
}

std::optional<int32_t> FUtilities::intForString(std::string_view key) {
    size_t n = key.size();
    if (n == 0 || n > 11) return std::nullopt;
    size_t i = 0;
    bool negative = false;
    if (key[0] == '-') {
        negative = true;
        i = 1;
        if (n == 1) return std::nullopt;
    }
    if (key[i] == '0') {
        // "0" is the only integer starting with a zero; "-0" is not canonical.
        if (n == i + 1 && !negative) return 0;
        return std::nullopt;
    }
    int64_t value = 0;
    for (; i < n; ++i) {
        char c = key[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return int32_t(value);
}

namespace {

// Only keys of at most 11 bytes starting with a digit, "-" or "[" can be
// integers or sentinels; every other key goes straight to text order.
inline bool maybeSpecial(std::string_view k) {
    if (k.empty() || k.size() > 11) return false;
    char c = k[0];
    return (c >= '0' && c <= '9') || c == '-' || c == '[';
}

}  // namespace

int FUtilities::compareKey(std::string_view a, std::string_view b) {
    bool specialA = maybeSpecial(a), specialB = maybeSpecial(b);
    if (specialA || specialB) {
        if (a == b) return 0;
        const std::string& minKey = minName();
        const std::string& maxKey = maxName();
        if (a == minKey || b == maxKey) return -1;
        if (b == minKey || a == maxKey) return 1;
        std::optional<int32_t> ia = specialA ? intForString(a) : std::nullopt;
        std::optional<int32_t> ib = specialB ? intForString(b) : std::nullopt;
        if (ia && ib) return *ia < *ib ? -1 : (*ia > *ib ? 1 : 0);
        if (ia) return -1;
        if (ib) return 1;
    }
    return FStringUtilities::compareUtf16(a, b);
}

uint64_t FUtilities::keyOrderPrefix(std::string_view key) {
    if (maybeSpecial(key)) {
        // Integer keys sort first, by value: their prefixes lie in [1, 2^32],
        // below that of any text whose first byte is not zero. Lists and
        // children named by counters are mostly such keys, and a descent
        // through them would otherwise parse both keys at every level.
        if (const auto number = intForString(key)) return uint64_t(int64_t(*number) - INT32_MIN) + 1;
        // The sentinels (and anything like them) are left to compareKey.
        if (key[0] == '[') return 0;
    }
    // A zero first byte would give a text a prefix among the integers'.
    if (key.empty() || key[0] == '\0') return 0;
    // UTF-16 order is byte order over ASCII, and a key that is a prefix of
    // another sorts first, as its zero padding does. Equal numbers say
    // nothing (a key may hold a zero byte), so compareKey decides those.
    uint64_t prefix = 0;
    for (size_t i = 0; i < 8; ++i) {
        const auto byte = i < key.size() ? uint8_t(key[i]) : uint8_t(0);
        if (byte >= 0x80) return 0;
        prefix = prefix << 8 | byte;
    }
    return prefix;
}

std::string FUtilities::getJavascriptType(const ns::Value& value) {
    if (value.isBool()) return "boolean";
    if (value.isNumber()) return "number";
    if (value.isString()) return "string";
    return "object";
}

std::string FUtilities::ieee754StringForDouble(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    static const char kHex[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i) {
        out[size_t(i)] = kHex[bits & 0xF];
        bits >>= 4;
    }
    return out;
}

std::string FUtilities::ieee754StringForNumber(const ns::Value& number) {
    return ieee754StringForDouble(number.asDouble());
}

int FUtilities::compareNumbers(const ns::Value& a, const ns::Value& b) {
    using T = ns::Value::Type;
    if (a.type() == T::Int && b.type() == T::Int) {
        int64_t x = a.asInt(), y = b.asInt();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    // An 80-bit long double holds every int64, uint64 and double exactly.
    auto wide = [](const ns::Value& v) -> long double {
        switch (v.type()) {
            case T::Int: return static_cast<long double>(v.asInt());
            case T::UInt: return static_cast<long double>(v.asUInt());
            default: return static_cast<long double>(v.asDouble());
        }
    };
    long double x = wide(a), y = wide(b);
    if (x < y) return -1;
    if (x > y) return 1;
    return 0;
}
