// The property-list reader over any bytes: binary lists with damaged
// trailers, offsets, references, cycles, deep nesting, shared objects and
// NUL-bearing strings, and XML text. A list that reads must write again in
// both forms and read back as the same value (dates in XML to the second),
// but for a value holding text XML 1.0 cannot hold, which only the binary
// form may write, and XML refuses with a write-invalid error.
//
// Input: the bytes of the list.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/plist.h"
#include "require.h"
#include "same_value.h"

namespace {

// A control character other than tab, line feed and carriage return, or
// U+FFFE or U+FFFF, in a text or key anywhere in the value.
bool textXMLCannotHold(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return true;
        if (text.substr(i, 3) == "\xEF\xBF\xBE" || text.substr(i, 3) == "\xEF\xBF\xBF") return true;
    }
    return false;
}

bool holdsTextXMLCannot(const ns::Value& value) {
    if (value.isString()) return textXMLCannotHold(value.asString());
    if (value.isArray()) {
        for (const ns::Value& item : value.asArray()) {
            if (holdsTextXMLCannot(item)) return true;
        }
    }
    if (value.isDictionary()) {
        for (const auto& [key, member] : value.asDictionary()) {
            if (textXMLCannotHold(key) || holdsTextXMLCannot(member)) return true;
        }
    }
    return false;
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
        if (out == ns::plist::Format::XML && holdsTextXMLCannot(value)) {
            require(writeError && writeError->code() == ns::plist::kWriteInvalidError && written.empty());
            continue;
        }
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
