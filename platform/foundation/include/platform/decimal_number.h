#pragma once
// NSDecimalNumber stand-in: an exact decimal of up to 38 significant digits
// (an unsigned 128-bit mantissa), a sign and a base-10 exponent in -128..127.
// Immutable value type; any thread may use it.
//
// Texts are read as decimalNumberWithString:locale: reads them, except that
// a text with anything left over after the number (trailing garbage, a second
// point) is refused as a whole instead of reading its longest valid prefix:
// callers use the result to check that a text IS a number.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ns {

class DecimalNumber {
public:
    static constexpr int kMaxDigits = 38;
    static constexpr int kMinExponent = -128;
    static constexpr int kMaxExponent = 127;

    DecimalNumber();  // 0
    static DecimalNumber fromInt64(int64_t value);
    // For the locale's decimal separator ("en_US" and any locale ICU does not
    // know: "."), no grouping, an optional leading sign and an optional
    // exponent ("e"/"E", itself optionally signed). Leading white space is
    // skipped, as NSScanner does; nothing may follow the number. nullopt where NSDecimalNumber gives NaN: no
    // digits, anything unparsed, or a value out of the exponent range.
    // Significant digits past 38 are rounded away (half up), so a caller can
    // tell the loss by comparing the description with the text.
    static std::optional<DecimalNumber> fromString(std::string_view text, std::string_view locale = "en_US");

    // -1, 0, 1 (NSOrderedAscending, NSOrderedSame, NSOrderedDescending); exact.
    int compare(const DecimalNumber& other) const;
    // The exact product; nullopt when it needs more than 38 digits or falls
    // out of the exponent range.
    std::optional<DecimalNumber> multiply(const DecimalNumber& other) const;

    // Plain text without exponent or trailing zeros after the point, "-" for
    // negatives, "0" for zero: "-0.25", "12", "1000", "0.000001".
    std::string description() const;
    double doubleValue() const;
    bool isNegative() const { return negative_; }
    bool isZero() const { return mantissa_ == 0; }

    friend bool operator==(const DecimalNumber& a, const DecimalNumber& b) { return a.compare(b) == 0; }

private:
    DecimalNumber(bool negative, unsigned __int128 mantissa, int exponent);
    // Keeps the value, drops trailing zeros of the mantissa.
    static DecimalNumber normalized(bool negative, unsigned __int128 mantissa, int exponent);

    bool negative_ = false;
    unsigned __int128 mantissa_ = 0;
    int exponent_ = 0;
};

}  // namespace ns
