#pragma once
// Value equality for the targets' read-write-read checks: kinds kept apart
// (an integer is not a real, though a signed and an unsigned integer of the
// same value are one) and a NaN equal to itself, since a NaN that was read
// is written back as one. Dates are kept as seconds since 1970 but written
// from 2001 on to the microsecond, so one may come back a rounding step off,
// never more than a microsecond or two.

#include <cmath>
#include <set>
#include <utility>

#include "platform/value.h"

// A list may name one object from many places, which reads as one storage
// shared by them all, and the value written and read again shares the same
// way: a pair of storages compared once is not compared again, so the
// comparison is linear in what the values hold, not in how often they name
// it (arrays that each name the next twice would take 2^depth steps).
using SeenPairs = std::set<std::pair<const void*, const void*>>;

inline bool sameValue(const ns::Value& a, const ns::Value& b, SeenPairs& seen);

inline bool sameValue(const ns::Value& a, const ns::Value& b) {
    SeenPairs seen;
    return sameValue(a, b, seen);
}

inline bool sameValue(const ns::Value& a, const ns::Value& b, SeenPairs& seen) {
    using T = ns::Value::Type;
    auto integral = [](const ns::Value& v) { return v.type() == T::Int || v.type() == T::UInt; };
    if (integral(a) || integral(b)) return integral(a) && integral(b) && a == b;
    if (a.type() != b.type()) return false;
    if (a.sharedStorage() && b.sharedStorage() && !seen.emplace(a.sharedStorage(), b.sharedStorage()).second) {
        return true;  // compared already, or being compared above
    }
    switch (a.type()) {
        case T::Double: {
            const double x = a.asDouble(), y = b.asDouble();
            return (std::isnan(x) && std::isnan(y)) || x == y;
        }
        case T::Date: {
            const double x = a.asDate().secondsSince1970, y = b.asDate().secondsSince1970;
            return (std::isnan(x) && std::isnan(y)) || x == y || std::fabs(x - y) <= 2e-6;
        }
        case T::Array: {
            const ns::Array &x = a.asArray(), &y = b.asArray();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i) {
                if (!sameValue(x[i], y[i], seen)) return false;
            }
            return true;
        }
        case T::Dictionary: {
            const ns::Dictionary &x = a.asDictionary(), &y = b.asDictionary();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
                if (i->first != j->first || !sameValue(i->second, j->second, seen)) return false;
            }
            return true;
        }
        default: return a == b;
    }
}
