#include "platform/utf8.h"

#include <unicode/utf8.h>

#include <cstring>

namespace ns::utf8 {

namespace {

// Skips a run of ASCII eight bytes at a time; ICU's decoder then handles
// everything else one code point at a time.
size_t skipASCII(const uint8_t* s, size_t i, size_t length) {
    while (i + 32 <= length) {
        uint64_t w[4];
        std::memcpy(w, s + i, 32);
        if ((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ULL) break;
        i += 32;
    }
    while (i + 8 <= length) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & 0x8080808080808080ULL) break;
        i += 8;
    }
    return i;
}

// Trail bytes a lead byte announces (the historic 5- and 6-byte forms
// included, so that such a prefix is judged by its shape, not refused early).
int announcedTrailBytes(uint8_t lead) {
    if (lead >= 0xC0 && lead <= 0xDF) return 1;
    if (lead >= 0xE0 && lead <= 0xEF) return 2;
    if (lead >= 0xF0 && lead <= 0xF7) return 3;
    if (lead >= 0xF8 && lead <= 0xFB) return 4;
    if (lead >= 0xFC && lead <= 0xFD) return 5;
    return -1;
}

}  // namespace

bool isValid(const uint8_t* s, size_t length) {
    size_t i = 0;
    const int64_t n = int64_t(length);
    while (true) {
        i = skipASCII(s, i, length);
        if (i >= length) return true;
        int64_t at = int64_t(i);
        UChar32 c;
        U8_NEXT(s, at, n, c);
        if (c < 0) return false;
        i = size_t(at);
    }
}

size_t sequenceLength(const uint8_t* s, size_t length, size_t i) {
    if (i >= length) return 0;
    if (s[i] < 0x80) return 1;
    int64_t at = int64_t(i);
    UChar32 c;
    U8_NEXT(s, at, int64_t(length), c);
    return c < 0 ? 0 : size_t(at) - i;
}

std::string sanitized(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t n = sequenceLength(s, text.size(), i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::optional<size_t> validPrefixLength(const uint8_t* s, size_t length) {
    const int64_t n = int64_t(length);
    size_t i = 0;
    size_t lastStart = 0;
    bool error = false;
    while (i < length) {
        i = skipASCII(s, i, length);
        if (i >= length) break;
        lastStart = i;
        int64_t at = int64_t(i);
        UChar32 c;
        U8_NEXT(s, at, n, c);
        i = size_t(at);
        if (c < 0) {
            error = true;
            break;
        }
    }
    if (!error) return length;
    const int trail = announcedTrailBytes(s[lastStart]);
    if (trail < 0 || lastStart + size_t(trail) < length) return std::nullopt;
    for (size_t k = lastStart + 1; k < i; ++k) {
        if (s[k] < 0x80 || s[k] > 0xBF) return std::nullopt;
    }
    // The decoder may have stopped before the end on a byte that a longer
    // sequence would still accept; whatever follows must be trail bytes too.
    for (size_t k = i; k < length; ++k) {
        if (s[k] < 0x80 || s[k] > 0xBF) return std::nullopt;
    }
    return lastStart;
}

std::optional<std::string> decode(const uint8_t* bytes, size_t length) {
    if (!isValid(bytes, length)) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(bytes), length);
}

std::optional<std::u32string> codePoints(const uint8_t* s, size_t length) {
    std::u32string out;
    out.reserve(length);
    const int64_t n = int64_t(length);
    for (int64_t at = 0; at < n;) {
        UChar32 c;
        U8_NEXT(s, at, n, c);
        if (c < 0) return std::nullopt;
        out.push_back(char32_t(c));
    }
    return out;
}

}  // namespace ns::utf8
