#pragma once
// Value equality for the targets' read-write-read checks: kinds kept apart
// (an integer is not a real, though a signed and an unsigned integer of the
// same value are one) and a NaN equal to itself, since a NaN that was read
// is written back as one. Dates are kept as seconds since 1970 but written
// from 2001 on to the microsecond, so one may come back a rounding step off,
// never more than a microsecond or two.

#include <cmath>

#include "platform/value.h"

inline bool sameValue(const ns::Value& a, const ns::Value& b) {
    using T = ns::Value::Type;
    auto integral = [](const ns::Value& v) { return v.type() == T::Int || v.type() == T::UInt; };
    if (integral(a) || integral(b)) return integral(a) && integral(b) && a == b;
    if (a.type() != b.type()) return false;
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
                if (!sameValue(x[i], y[i])) return false;
            }
            return true;
        }
        case T::Dictionary: {
            const ns::Dictionary &x = a.asDictionary(), &y = b.asDictionary();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
                if (i->first != j->first || !sameValue(i->second, j->second)) return false;
            }
            return true;
        }
        default: return a == b;
    }
}
