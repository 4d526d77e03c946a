#pragma once
// How the quotation counts. Money is in whole cents: a stored price is the
// "%.2f" text of the unit price, a line is quantity × price, the subtotal is
// the sum of the lines shown, the ITBMS is 7 % of it rounded half up, and the
// total is exactly the subtotal plus the ITBMS shown, so the three figures
// always agree. Quantities are whole numbers from 1 to kMaxQuantity. Plain
// functions without state; any thread.

#include <cstdint>
#include <optional>
#include <string>

namespace almavel {

inline constexpr int64_t kMaxQuantity = 9999;

// A quantity as typed: digits only (an optional "+" first), 1..kMaxQuantity.
std::optional<int64_t> parseQuantity(const std::string& text);
// A price text ("10.00", "74.9", "5") in cents, rounded half up; nullopt
// when it is not a plain non-negative decimal number below a billion.
std::optional<int64_t> priceCents(const std::string& text);
// 7 % of `subtotalCents`, rounded half up.
int64_t itbmsCents(int64_t subtotalCents);
// "30.00" for 3000.
std::string formatCents(int64_t cents);

}  // namespace almavel
