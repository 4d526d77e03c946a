#include "database/model/FStringUtilities.h"

#include <cstdint>

#include "FDigest.h"
#include "platform/url.h"

namespace {

// Length of the UTF-8 sequence that starts with `lead`, or 0 when `lead`
// cannot start one.
inline size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Decodes one code point at `i`; `len` receives the bytes used (1 for a byte
// that does not start a valid sequence, returned as 0xFFFFFFFF).
uint32_t decodeAt(std::string_view s, size_t i, size_t& len) {
    auto lead = static_cast<unsigned char>(s[i]);
    size_t n = sequenceLength(lead);
    if (n == 0 || i + n > s.size()) {
        len = 1;
        return 0xFFFFFFFFu;
    }
    if (n == 1) {
        len = 1;
        return lead;
    }
    uint32_t cp = lead & (0xFF >> (n + 1));
    for (size_t k = 1; k < n; ++k) {
        auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            len = 1;
            return 0xFFFFFFFFu;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    len = n;
    return cp;
}

// A number whose order is the order of the code point's UTF-16 units: code
// points above the Basic Multilingual Plane start with a lead surrogate, so
// they sort before U+E000...U+FFFF.
inline uint64_t utf16SortKey(uint32_t cp) {
    if (cp < 0xD800) return cp;
    if (cp >= 0x10000 && cp <= 0x10FFFF) return 0xD800 + uint64_t(cp - 0x10000);
    if (cp <= 0xFFFF) return cp + 0x110000;
    return 0x200000;  // undecodable bytes sort last
}

}  // namespace

std::string FStringUtilities::base64EncodedSha1(std::string_view str) {
    return fdigest::base64(fdigest::sha1(str));
}

std::string FStringUtilities::sanitizedForUserAgent(std::string_view str) {
    std::string out(str);
    for (char& c : out) {
        if (c == '/' || c == '_') c = '|';
    }
    return out;
}

std::string FStringUtilities::urlEncoded(std::string_view str) { return ns::percentEncode(str, "-_~"); }

std::string FStringUtilities::urlDecoded(std::string_view str) { return ns::percentDecode(str); }

size_t FStringUtilities::utf16Length(std::string_view str) {
    size_t units = 0;
    for (size_t i = 0; i < str.size();) {
        auto c = static_cast<unsigned char>(str[i]);
        if (c < 0x80) {
            ++units;
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp = decodeAt(str, i, len);
        units += (cp != 0xFFFFFFFFu && cp >= 0x10000) ? 2 : 1;
        i += len;
    }
    return units;
}

int FStringUtilities::compareUtf16(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    if (i == n) {
        if (a.size() == b.size()) return 0;
        return a.size() < b.size() ? -1 : 1;
    }
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[i]);
    if (ca < 0x80 && cb < 0x80) return ca < cb ? -1 : 1;
    // Back up to the start of the character both strings share the prefix of.
    size_t start = i;
    while (start > 0 && (static_cast<unsigned char>(a[start]) & 0xC0) == 0x80) --start;
    size_t la, lb;
    uint64_t ka = utf16SortKey(decodeAt(a, start, la));
    uint64_t kb = utf16SortKey(decodeAt(b, start, lb));
    if (ka != kb) return ka < kb ? -1 : 1;
    return ca < cb ? -1 : 1;
}

std::string FStringUtilities::prefixOfUtf16Length(std::string_view str, size_t maxUnits) {
    size_t units = 0;
    size_t i = 0;
    while (i < str.size()) {
        size_t len;
        uint32_t cp = decodeAt(str, i, len);
        size_t w = (cp != 0xFFFFFFFFu && cp >= 0x10000) ? 2 : 1;
        if (units + w > maxUnits) break;
        units += w;
        i += len;
    }
    return std::string(str.substr(0, i));
}
