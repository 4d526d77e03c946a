#include "platform/decimal_number.h"

#include <unicode/dcfmtsym.h>
#include <unicode/locid.h>

#include <algorithm>
#include <array>
#include <cstdlib>

namespace ns {

namespace {

using u128 = unsigned __int128;

// 10^0 .. 10^38: every power a 38-digit mantissa can be scaled by.
constexpr std::array<u128, 39> kPowersOfTen = [] {
    std::array<u128, 39> p{};
    p[0] = 1;
    for (size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
    return p;
}();
constexpr u128 kDigitLimit = kPowersOfTen[DecimalNumber::kMaxDigits];  // the first 39-digit value

int digitCount(u128 m) {
    int n = 1;
    while (n < DecimalNumber::kMaxDigits + 1 && m >= kPowersOfTen[size_t(n)]) ++n;
    return n;
}

std::string digitsOf(u128 m) {
    std::string s;
    do {
        s.push_back(char('0' + int(m % 10)));
        m /= 10;
    } while (m != 0);
    std::reverse(s.begin(), s.end());
    return s;
}

// The locale's decimal separator as UTF-8; "." where ICU has nothing better.
std::string decimalSeparator(std::string_view locale) {
    if (locale == "en_US" || locale.empty()) return ".";
    UErrorCode status = U_ZERO_ERROR;
    icu::DecimalFormatSymbols symbols(icu::Locale(std::string(locale).c_str()), status);
    if (U_FAILURE(status)) return ".";
    std::string out;
    symbols.getSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol).toUTF8String(out);
    return out.empty() ? "." : out;
}

// The digits of a text as they are read: significant digits go into the
// mantissa (at most 38), zeros are held back until a later non-zero digit
// needs them so that "1000...0" keeps its digits for what follows, and
// digits past the 38th only move the exponent (the first of them rounds).
struct DigitReader {
    u128 mantissa = 0;
    int digits = 0;            // significant digits in mantissa
    int64_t pendingZeros = 0;  // zeros read after the last non-zero digit
    int64_t exponent = 0;      // of the last digit kept or held back
    bool roundUp = false;
    bool dropped = false;

    void add(int d, bool fraction) {
        if (fraction) --exponent;
        if (d == 0) {
            if (digits > 0 || dropped) ++pendingZeros;
            return;
        }
        // Held-back zeros become digits now, or are dropped past the 38th.
        while (pendingZeros > 0 && !dropped && digits < DecimalNumber::kMaxDigits) {
            mantissa *= 10;
            ++digits;
            --pendingZeros;
        }
        if (dropped || digits == DecimalNumber::kMaxDigits) {
            // Only the first digit past the 38th rounds; a dropped digit
            // keeps its place like a zero.
            if (!dropped) roundUp = pendingZeros == 0 && d >= 5;
            ++pendingZeros;
            dropped = true;
            return;
        }
        mantissa = mantissa * 10 + u128(d);
        ++digits;
    }

    // The mantissa and the exponent of its last digit.
    std::pair<u128, int64_t> value() const {
        u128 m = mantissa;
        int64_t e = exponent + pendingZeros;
        if (roundUp) ++m;
        return {m, e};
    }
};

}  // namespace

DecimalNumber::DecimalNumber() = default;

DecimalNumber::DecimalNumber(bool negative, unsigned __int128 mantissa, int exponent)
    : negative_(negative && mantissa != 0), mantissa_(mantissa), exponent_(mantissa == 0 ? 0 : exponent) {}

DecimalNumber DecimalNumber::normalized(bool negative, unsigned __int128 mantissa, int exponent) {
    if (mantissa == 0) return DecimalNumber();
    while (mantissa % 10 == 0 && exponent < kMaxExponent) {
        mantissa /= 10;
        ++exponent;
    }
    return DecimalNumber(negative, mantissa, exponent);
}

namespace {

// The value mantissa x 10^exponent within the type's range, exactly:
// trailing zeros of the mantissa absorb a too-small exponent, spare digits a
// too-large one. nullopt when neither is enough.
std::optional<std::pair<u128, int>> fitRange(u128 m, int64_t e) {
    if (m == 0) return std::pair<u128, int>{0, 0};
    while (m >= kDigitLimit || (e < DecimalNumber::kMinExponent && m % 10 == 0)) {
        if (m % 10 != 0) return std::nullopt;
        m /= 10;
        ++e;
    }
    while (e > DecimalNumber::kMaxExponent && m < kPowersOfTen[DecimalNumber::kMaxDigits - 1]) {
        m *= 10;
        --e;
    }
    if (e < DecimalNumber::kMinExponent || e > DecimalNumber::kMaxExponent) return std::nullopt;
    return std::pair<u128, int>{m, int(e)};
}

}  // namespace

DecimalNumber DecimalNumber::fromInt64(int64_t value) {
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    return normalized(negative, magnitude, 0);
}

std::optional<DecimalNumber> DecimalNumber::fromString(std::string_view text, std::string_view locale) {
    const std::string separator = decimalSeparator(locale);
    size_t i = 0;
    // NSScanner skips leading white space and new lines.
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

    DigitReader reader;
    bool anyDigit = false;
    bool fraction = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            reader.add(c - '0', fraction);
            anyDigit = true;
        } else if (!fraction && text.substr(i, separator.size()) == separator) {
            fraction = true;
            i += separator.size() - 1;
        } else {
            break;
        }
    }
    if (!anyDigit) return std::nullopt;

    int64_t exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
        const size_t start = i;
        // Capped: anything this far out is out of range whatever the digits.
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            exponent = std::min<int64_t>(exponent * 10 + (text[i] - '0'), 1'000'000);
        if (i == start) return std::nullopt;
        if (negativeExponent) exponent = -exponent;
    }
    if (i != text.size()) return std::nullopt;

    auto [mantissa, lastDigitExponent] = reader.value();
    auto fitted = fitRange(mantissa, lastDigitExponent + exponent);
    if (!fitted) return std::nullopt;
    return normalized(negative, fitted->first, fitted->second);
}

int DecimalNumber::compare(const DecimalNumber& other) const {
    const int sign = isZero() ? 0 : (negative_ ? -1 : 1);
    const int otherSign = other.isZero() ? 0 : (other.negative_ ? -1 : 1);
    if (sign != otherSign) return sign < otherSign ? -1 : 1;
    if (sign == 0) return 0;
    // Magnitudes: first by the place of the leading digit, then digit by
    // digit after scaling the shorter mantissa to the longer one's length.
    int magnitude;
    const int leading = digitCount(mantissa_) + exponent_;
    const int otherLeading = digitCount(other.mantissa_) + other.exponent_;
    if (leading != otherLeading) {
        magnitude = leading < otherLeading ? -1 : 1;
    } else {
        u128 a = mantissa_;
        u128 b = other.mantissa_;
        if (exponent_ > other.exponent_) a *= kPowersOfTen[size_t(exponent_ - other.exponent_)];
        if (other.exponent_ > exponent_) b *= kPowersOfTen[size_t(other.exponent_ - exponent_)];
        magnitude = a == b ? 0 : (a < b ? -1 : 1);
    }
    return sign * magnitude;
}

namespace {

// A 256-bit product as four 64-bit limbs, least significant first.
using Wide = std::array<uint64_t, 4>;

Wide multiplyWide(u128 a, u128 b) {
    const uint64_t x[2] = {uint64_t(a), uint64_t(a >> 64)};
    const uint64_t y[2] = {uint64_t(b), uint64_t(b >> 64)};
    Wide out{};
    for (int i = 0; i < 2; ++i) {
        u128 carry = 0;
        for (int j = 0; j < 2; ++j) {
            const u128 t = u128(x[i]) * y[j] + out[size_t(i + j)] + carry;
            out[size_t(i + j)] = uint64_t(t);
            carry = t >> 64;
        }
        out[size_t(i + 2)] = uint64_t(carry);
    }
    return out;
}

// Divides by ten in place; the remainder.
unsigned divideByTen(Wide& w) {
    u128 rest = 0;
    for (size_t i = w.size(); i-- > 0;) {
        const u128 cur = (rest << 64) | w[i];
        w[i] = uint64_t(cur / 10);
        rest = cur % 10;
    }
    return unsigned(rest);
}

}  // namespace

std::optional<DecimalNumber> DecimalNumber::multiply(const DecimalNumber& other) const {
    if (isZero() || other.isZero()) return DecimalNumber();
    Wide product = multiplyWide(mantissa_, other.mantissa_);
    int64_t exponent = int64_t(exponent_) + other.exponent_;
    // Trailing zeros of the product may bring it back within 128 bits.
    while (product[2] != 0 || product[3] != 0) {
        Wide quotient = product;
        if (divideByTen(quotient) != 0) return std::nullopt;
        product = quotient;
        ++exponent;
    }
    const u128 mantissa = (u128(product[1]) << 64) | product[0];
    auto fitted = fitRange(mantissa, exponent);
    if (!fitted) return std::nullopt;
    return normalized(negative_ != other.negative_, fitted->first, fitted->second);
}

std::string DecimalNumber::description() const {
    if (isZero()) return "0";
    std::string digits = digitsOf(mantissa_);
    std::string out = negative_ ? "-" : "";
    if (exponent_ >= 0) return out + digits + std::string(size_t(exponent_), '0');
    const size_t fractionDigits = size_t(-exponent_);
    if (digits.size() > fractionDigits) {
        digits.insert(digits.size() - fractionDigits, ".");
        return out + digits;
    }
    return out + "0." + std::string(fractionDigits - digits.size(), '0') + digits;
}

double DecimalNumber::doubleValue() const {
    // strtod rounds the exact decimal correctly; no decimal point, so the C
    // library's locale does not matter.
    const std::string text = (negative_ ? "-" : "") + digitsOf(mantissa_) + "e" + std::to_string(exponent_);
    return std::strtod(text.c_str(), nullptr);
}

}  // namespace ns
