#include "platform/utf8.h"

#include <unicode/utf8.h>

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// The first byte at or after i with its top bit set (length if none),
// sixteen bytes at a time.
size_t firstNonASCII(const uint8_t* s, size_t i, size_t length) {
    constexpr uint64_t kTopBits = 0x8080808080808080ULL;
    const auto firstIn = [](uint64_t highBits) {
        if constexpr (std::endian::native == std::endian::little) return size_t(std::countr_zero(highBits)) / 8;
        return size_t(std::countl_zero(highBits)) / 8;
    };
    for (; i + 16 <= length; i += 16) {
        uint64_t a, b;
        std::memcpy(&a, s + i, 8);
        std::memcpy(&b, s + i + 8, 8);
        if (const uint64_t high = a & kTopBits) return i + firstIn(high);
        if (const uint64_t high = b & kTopBits) return i + 8 + firstIn(high);
    }
    while (i < length && s[i] < 0x80) ++i;
    return i;
}

#if defined(__x86_64__)
// skipShortCharacters thirty-two bytes at a time, where AVX2 is there.
__attribute__((target("avx2"))) size_t skipShortCharactersWide(const uint8_t* s, size_t i, size_t length) {
    const __m256i belowTrailEnd = _mm256_set1_epi8(-64), leadFloor = _mm256_set1_epi8(-63),
                  leadEnd = _mm256_set1_epi8(-32);
    uint32_t carried = 0;
    for (; i + 32 <= length; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        const auto high = uint32_t(_mm256_movemask_epi8(v));
        const auto trails = uint32_t(_mm256_movemask_epi8(_mm256_cmpgt_epi8(belowTrailEnd, v)));
        const auto leads = uint32_t(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpgt_epi8(v, leadFloor), _mm256_cmpgt_epi8(leadEnd, v))));
        if (high != (leads | trails) || trails != ((leads << 1) | carried)) break;
        carried = leads >> 31;
    }
    return i - carried;
}
#endif

// Skips whole characters of one and two bytes 32 or 16 bytes at a time (text
// that is mostly ASCII with the odd accented letter), then any ASCII; stops
// at the first byte the caller must look at.
size_t skipShortCharacters(const uint8_t* s, size_t i, size_t length) {
#if defined(__x86_64__)
    static const bool wide = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    if (wide) i = skipShortCharactersWide(s, i, length);
#endif
#if defined(__SSE2__)
    // Signed bytes: trail bytes 80-BF are below -64, leads C2-DF in -62..-33.
    const __m128i belowTrailEnd = _mm_set1_epi8(-64), leadFloor = _mm_set1_epi8(-63), leadEnd = _mm_set1_epi8(-32);
    // A lead in the last place of the block before, whose trail starts this
    // one. The stride stays fixed so that the loads need not wait for it.
    unsigned carried = 0;
    for (; i + 16 <= length; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const unsigned high = unsigned(_mm_movemask_epi8(v));
        const unsigned trails = unsigned(_mm_movemask_epi8(_mm_cmpgt_epi8(belowTrailEnd, v)));
        const unsigned leads = unsigned(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi8(v, leadFloor), _mm_cmpgt_epi8(leadEnd, v))));
        // Every byte with its top bit set is a lead or a trail, and every
        // trail follows a lead.
        if (high != (leads | trails) || trails != (((leads << 1) | carried) & 0xFFFF)) break;
        carried = leads >> 15;
    }
    // Back to the start of a character cut by the end of the last block.
    i -= carried;
#endif
    return firstNonASCII(s, i, length);
}

}  // namespace

bool StreamValidator::append(const uint8_t* bytes, size_t length) {
    if (_failed) return false;
    for (size_t i = 0; i < length; ++i) {
        if (_trailBytesDue == 0) {
            i = skipShortCharacters(bytes, i, length);
            if (i == length) break;
            // A whole two-byte character (an accented letter) in one step.
            if (bytes[i] >= 0xC2 && bytes[i] <= 0xDF && i + 1 < length && (bytes[i + 1] & 0xC0) == 0x80) {
                ++i;
                continue;
            }
        }
        if (!(_trailBytesDue == 0 ? startSequence(bytes[i]) : continueSequence(bytes[i]))) {
            _failed = true;
            return false;
        }
    }
    return true;
}

// The ranges are those U8_NEXT accepts (no overlong forms, no surrogates,
// nothing above U+10FFFF); leads it never accepts still announce a length,
// as announcedTrailBytes says, so their sequences wait like any other.
bool StreamValidator::startSequence(uint8_t lead) {
    _low = 0x80;
    _high = 0xBF;
    _malformed = false;
    if (lead < 0xC0 || lead > 0xFD) return false;
    _trailBytesDue = uint8_t(announcedTrailBytes(lead));
    if (lead < 0xC2 || lead > 0xF4) _malformed = true;
    if (lead == 0xE0) _low = 0xA0;
    if (lead == 0xED) _high = 0x9F;
    if (lead == 0xF0) _low = 0x90;
    if (lead == 0xF4) _high = 0x8F;
    return true;
}

bool StreamValidator::continueSequence(uint8_t byte) {
    if (byte < 0x80 || byte > 0xBF) return false;
    if (byte < _low || byte > _high) _malformed = true;
    _low = 0x80;
    _high = 0xBF;
    --_trailBytesDue;
    return !(_malformed && _trailBytesDue == 0);
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

void appendCodePoint(uint32_t c, std::string& out) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

}  // namespace ns::utf8
