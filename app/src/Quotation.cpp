#include "app/Quotation.h"

#include <cstdio>

namespace almavel {

namespace {

// Prices from a billion cents up are not prices this store writes.
constexpr int64_t kMaxPriceCents = 1'000'000'000;

}  // namespace

std::optional<int64_t> parseQuantity(const std::string& text) {
    size_t i = !text.empty() && text[0] == '+' ? 1 : 0;
    if (i == text.size()) return std::nullopt;
    int64_t q = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        q = q * 10 + (text[i] - '0');
        if (q > kMaxQuantity) return std::nullopt;
    }
    if (q < 1) return std::nullopt;
    return q;
}

std::optional<int64_t> priceCents(const std::string& text) {
    int64_t whole = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        whole = whole * 10 + (text[i] - '0');
        if (whole * 100 >= kMaxPriceCents) return std::nullopt;
    }
    const size_t wholeDigits = i;
    int64_t fraction = 0;   // the first two decimals
    int scale = 100;
    bool roundUp = false;
    if (i < text.size() && text[i] == '.') {
        ++i;
        int place = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++place) {
            if (place < 2) {
                scale /= 10;
                fraction += (text[i] - '0') * scale;
            } else if (place == 2) {
                roundUp = text[i] >= '5';
            }
        }
        if (place == 0 && wholeDigits == 0) return std::nullopt;
    }
    if (i != text.size() || (wholeDigits == 0 && i == 0)) return std::nullopt;
    return whole * 100 + fraction + (roundUp ? 1 : 0);
}

int64_t itbmsCents(int64_t subtotalCents) {
    // Half up for the amounts a quote can hold (never negative).
    return (subtotalCents * 7 + 50) / 100;
}

std::string formatCents(int64_t cents) {
    const bool negative = cents < 0;
    const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(cents) : uint64_t(cents);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%s%llu.%02llu", negative ? "-" : "", (unsigned long long)(magnitude / 100),
                  (unsigned long long)(magnitude % 100));
    return buffer;
}

}  // namespace almavel
