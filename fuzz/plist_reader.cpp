// The property-list reader over any bytes: binary lists with damaged
// trailers, offsets, references, cycles, deep nesting, shared objects and
// NUL-bearing strings, and XML text. A list that reads must write again in
// both forms and read back as the same value (dates in XML to the second),
// but for a value holding text XML 1.0 cannot hold, which only the binary
// form may write, and XML refuses with a write-invalid error.
//
// A list naming its objects from many places reads as values sharing them,
// and writes back in binary naming each once: no larger than twice the
// list (and the trailer a small list needs).
//
// Input: the bytes of the list.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
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

// Each storage a list shares is looked at once (`seen`).
bool holdsTextXMLCannot(const ns::Value& value, std::set<const void*>& seen) {
    if (value.sharedStorage() && !seen.insert(value.sharedStorage()).second) return false;
    if (value.isString()) return textXMLCannotHold(value.asString());
    if (value.isArray()) {
        for (const ns::Value& item : value.asArray()) {
            if (holdsTextXMLCannot(item, seen)) return true;
        }
    }
    if (value.isDictionary()) {
        for (const auto& [key, member] : value.asDictionary()) {
            if (textXMLCannotHold(key) || holdsTextXMLCannot(member, seen)) return true;
        }
    }
    return false;
}

bool holdsTextXMLCannot(const ns::Value& value) {
    std::set<const void*> seen;
    return holdsTextXMLCannot(value, seen);
}

// XML writes a shared object out at every place; past this many values it
// refuses, and a smaller value that still names its objects over and over
// would take the fuzzer's time writing text: the binary form checks those.
constexpr uint64_t kXMLValuesChecked = 100000;
constexpr uint64_t kXMLValuesWritten = uint64_t(1) << 28;

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
        if (out == ns::plist::Format::XML) {
            const uint64_t values = ns::expandedCount(value, kXMLValuesWritten + 1);
            if (values > kXMLValuesChecked && values <= kXMLValuesWritten) continue;
            if (values > kXMLValuesWritten || holdsTextXMLCannot(value)) {
                const ns::Data refused = ns::plist::serialize(value, out, &writeError);
                require(writeError && writeError->code() == ns::plist::kWriteInvalidError && refused.empty());
                continue;
            }
        }
        const ns::Data written = ns::plist::serialize(value, out, &writeError);
        require(!writeError && !written.empty());
        if (out == ns::plist::Format::Binary && format == ns::plist::Format::Binary) {
            require(written.size() <= 2 * bytes.size() + 64);  // the binary writer did not share what the list did
        }
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
