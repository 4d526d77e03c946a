#include "platform/unicode.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>

#include <climits>
#include <map>
#include <memory>
#include <mutex>

#include "platform/utf8.h"

namespace ns::unicode {

bool isLetter(char32_t c) { return (U_GET_GC_MASK(UChar32(c)) & U_GC_L_MASK) != 0; }

bool isNonBase(char32_t c) { return (U_GET_GC_MASK(UChar32(c)) & U_GC_M_MASK) != 0; }

bool isDecimalDigit(char32_t c) { return u_charType(UChar32(c)) == U_DECIMAL_DIGIT_NUMBER; }

std::optional<std::u32string> codePoints(std::string_view text) { return utf8::codePoints(text); }

namespace {

// Opened collators by locale name, kept for the process: opening one costs
// far more than a comparison, and ICU's comparisons only read the collator,
// so threads share them. Callers name a handful of locales; past the cap a
// collator is opened for the one comparison.
constexpr size_t kMaxCachedCollators = 16;

struct CollatorCache {
    std::mutex mutex;
    std::map<std::string, UCollator*, std::less<>> byLocale;
};

CollatorCache& collators() {
    static auto* cache = new CollatorCache;  // never freed: pooled work may compare during exit
    return *cache;
}

struct CollatorCloser {
    void operator()(UCollator* collator) const { ucol_close(collator); }
};

}  // namespace

namespace {

int byteOrder(std::string_view a, std::string_view b) { return a == b ? 0 : (a < b ? -1 : 1); }

}  // namespace

int compareLocalized(std::string_view a, std::string_view b, std::string_view locale) {
    // ICU takes lengths as int32_t; a text past that is no user's text.
    if (a.size() > INT32_MAX || b.size() > INT32_MAX) return byteOrder(a, b);
    CollatorCache& cache = collators();
    UCollator* collator = nullptr;
    std::unique_ptr<UCollator, CollatorCloser> uncached;
    {
        std::lock_guard lock(cache.mutex);
        if (auto it = cache.byLocale.find(locale); it != cache.byLocale.end()) collator = it->second;
    }
    if (!collator) {
        UErrorCode status = U_ZERO_ERROR;
        UCollator* opened = ucol_open(std::string(locale).c_str(), &status);
        // ICU answers an unknown locale with its root order, never an error
        // a caller could act on; a real failure leaves the code-point order.
        if (U_FAILURE(status) || !opened) {
            ucol_close(opened);
            return byteOrder(a, b);
        }
        std::lock_guard lock(cache.mutex);
        auto [it, added] = cache.byLocale.emplace(std::string(locale), opened);
        if (!added) {
            ucol_close(opened);
            collator = it->second;
        } else if (cache.byLocale.size() > kMaxCachedCollators) {
            cache.byLocale.erase(it);
            uncached.reset(opened);
            collator = opened;
        } else {
            collator = opened;
        }
    }
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult order =
        ucol_strcollUTF8(collator, a.data(), int32_t(a.size()), b.data(), int32_t(b.size()), &status);
    if (U_FAILURE(status)) return byteOrder(a, b);
    return order == UCOL_LESS ? -1 : (order == UCOL_EQUAL ? 0 : 1);
}

}  // namespace ns::unicode
