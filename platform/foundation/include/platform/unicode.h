#pragma once
// Unicode character classes as Foundation's character sets name them, and
// locale-aware comparison, over ICU. Any thread may call these.

#include <optional>
#include <string>
#include <string_view>

namespace ns::unicode {

// letterCharacterSet without nonBaseCharacterSet: general category L
// (Lu, Ll, Lt, Lm, Lo).
bool isLetter(char32_t c);
// nonBaseCharacterSet: general category M (Mn, Mc, Me).
bool isNonBase(char32_t c);
// decimalDigitCharacterSet: general category Nd, in any script.
bool isDecimalDigit(char32_t c);

// The text's code points; nullopt when the text is not valid UTF-8.
std::optional<std::u32string> codePoints(std::string_view utf8);

// -1, 0 or 1 as the locale's collator orders the texts (e.g. "en_US"; ICU's
// root order for a locale it does not know). Texts that are not UTF-8 are
// compared with their bad bytes as U+FFFD.
int compareLocalized(std::string_view a, std::string_view b, std::string_view locale = "en_US");

}  // namespace ns::unicode
