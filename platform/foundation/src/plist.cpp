#include "platform/plist.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string_view>
#include <vector>

#include "platform/crypto.h"
#include "platform/format.h"
#include "platform/utf8.h"
#include "platform/whole_file.h"
#include "plist_private.h"

namespace ns::plist {

namespace {

using plist_codec::kMaxDepth;
using plist_codec::tooDeep;
using plist_codec::validText;
using plist_date::kEpoch2001;

ErrorRef readError(const std::string& problem) {
    return Error::make(kCocoaErrorDomain, kReadCorruptError,
                       "The data couldn’t be read because it isn’t in the correct format. " + problem);
}

ErrorRef writeError(const std::string& problem) {
    return Error::make(kCocoaErrorDomain, kWriteInvalidError,
                       "The data couldn’t be written as a property list. " + problem);
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

// Whether XML 1.0 holds a text that validText() accepts: no control
// character but tab, line feed and carriage return, neither U+FFFE nor
// U+FFFF. Any XML reader refuses a whole document that has one.
bool xmlHolds(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        const uint8_t c = uint8_t(s[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
        // U+FFFE and U+FFFF: EF BF BE and EF BF BF.
        if (c == 0xEF && s.size() - i > 2 && uint8_t(s[i + 1]) == 0xBF && (uint8_t(s[i + 2]) | 1) == 0xBF) return false;
    }
    return true;
}

constexpr const char* kNotXML =
    " holds a character XML 1.0 cannot hold (a control character other than tab, line feed and carriage return, "
    "U+FFFE or U+FFFF); the binary form can hold it";

// What keeps a text from being written, or empty; `what` names it.
std::string unwritableText(const std::string& text, const char* what, bool asXML) {
    if (!validText(text)) return std::string(what) + " is not valid UTF-8 or contains a NUL character";
    if (asXML && !xmlHolds(text)) return what + std::string(kNotXML);
    return {};
}

// XML names no object from two places: a value that shares its objects is
// written out at every place, and one that shares them over and over (an
// array naming another twice, that one the next twice, ...) would write
// more text than any file holds. Past this many values the XML form is
// refused; the binary form writes each shared object once.
constexpr uint64_t kMaxXMLValues = uint64_t(1) << 28;
// The same for the bytes the values' texts, keys and data come to (one
// shared text of a megabyte named from ten thousand places is ten gigabytes
// of XML), with a few bytes of markup a value.
constexpr uint64_t kMaxXMLBytes = uint64_t(1) << 32;
constexpr uint64_t kXMLMarkupBytes = 16;

// What is known of a value once checked: how far below it values nest,
// and how many values it is written as in XML (itself and all it holds,
// each at every place).
struct Checked {
    size_t height = 0;
    uint64_t places = 1;
    uint64_t bytes = kXMLMarkupBytes;
};

// What keeps a value `depth` deep from being written, in XML too with
// `asXML`, or empty; `checked` gets what is known of it. `where` gets the
// steps from the value down to the problem, the last step first, so that
// the path is put together once, and only for a refusal. A storage several
// places share (a container, a shared text) is checked once and recorded in
// `seen`, so the check is linear in what the value holds, not in how often
// it names it.
std::string unwritableAt(const Value& v, size_t depth, bool asXML, std::vector<std::string>& where, Checked& checked,
                         std::map<const void*, Checked>& seen) {
    checked = Checked{};
    if (depth > kMaxDepth) return format("Too many nested arrays or dictionaries (more than %zu)", kMaxDepth);
    const void* storage = v.sharedStorage();
    if (storage) {
        if (auto known = seen.find(storage); known != seen.end()) {
            checked = known->second;
            if (depth + checked.height > kMaxDepth) {
                return format("Too many nested arrays or dictionaries (more than %zu)", kMaxDepth);
            }
            return {};
        }
    }
    std::string problem;
    const auto below = [&](const Value& member) {
        Checked inner;
        problem = unwritableAt(member, depth + 1, asXML, where, inner, seen);
        checked.height = std::max(checked.height, inner.height + 1);
        checked.places = std::min(checked.places + inner.places, kMaxXMLValues + 1);
        checked.bytes = std::min(checked.bytes + inner.bytes, kMaxXMLBytes + 1);
    };
    switch (v.type()) {
        case Value::Type::Null: return "Property lists cannot contain null values";
        case Value::Type::Object: return "Property lists cannot contain objects of class " + v.asObject()->className();
        case Value::Type::String:
            problem = unwritableText(v.asString(), "A string", asXML);
            checked.bytes += v.asString().size();
            break;
        case Value::Type::Data: checked.bytes += v.asData().size() / 3 * 4 + 4; break;
        case Value::Type::Date:
            if (plist_date::libraryDate(v.asDate().secondsSince1970 - kEpoch2001)) return {};
            return "A date is outside the range property lists can hold, 1933 to 2069";
        case Value::Type::Array: {
            const Array& items = v.asArray();
            for (size_t i = 0; i < items.size() && problem.empty(); ++i) {
                below(items[i]);
                if (!problem.empty()) where.push_back("[" + std::to_string(i) + "]");
            }
            break;
        }
        case Value::Type::Dictionary:
            for (const auto& [key, member] : v.asDictionary()) {
                problem = unwritableText(key, "A key", asXML);
                checked.bytes = std::min(checked.bytes + key.size() + kXMLMarkupBytes, kMaxXMLBytes + 1);
                if (problem.empty()) below(member);
                if (problem.empty()) continue;
                where.push_back("." + key);
                break;
            }
            break;
        default: return {};
    }
    if (problem.empty() && asXML && checked.places > kMaxXMLValues) {
        problem = format("The value shares its objects into more than %llu values, which XML, naming no object "
                         "from two places, would write out one by one; the binary form can hold it",
                         static_cast<unsigned long long>(kMaxXMLValues));
    }
    if (problem.empty() && asXML && checked.bytes > kMaxXMLBytes) {
        problem = format("The value shares its objects into more than %llu bytes of text, which XML, naming no object "
                         "from two places, would write out one by one; the binary form can hold it",
                         static_cast<unsigned long long>(kMaxXMLBytes));
    }
    if (problem.empty() && storage) seen.emplace(storage, checked);
    return problem;
}

// --- XML -----------------------------------------------------------------

// The XML form read in one pass: the prolog (declaration, comments,
// processing instructions, a DOCTYPE with its internal subset, whose
// declarations are not used), then one value, inside <plist> or alone;
// what follows it is not read.
// Text takes the five named entities and character references, CDATA and
// comments. Containers are kept on a stack of its own, not the call stack.
class XMLReader {
public:
    XMLReader(const char* p, size_t n) : p_(p), n_(n) {}

    Value read(std::string& problem) {
        Value root = readDocument();
        problem = problem_;
        return problem.empty() ? root : Value();
    }

private:
    struct Tag {
        std::string_view name;
        bool closing = false, empty = false;
    };
    struct Frame {
        std::string_view name;
        Array items;
        Dictionary entries;
        std::string key;
        bool hasKey = false;
    };

    bool fail(const std::string& why) {
        if (problem_.empty()) problem_ = why;
        return false;
    }
    bool at(std::string_view s) const { return n_ - i_ >= s.size() && std::memcmp(p_ + i_, s.data(), s.size()) == 0; }
    void skipSpace() {
        while (i_ < n_ && isSpace(p_[i_])) ++i_;
    }
    // Moves past the next `end`; false when there is none.
    bool skipPast(std::string_view end) {
        const size_t found = std::string_view(p_, n_).find(end, i_);
        if (found == std::string_view::npos) return fail("The XML ends inside a comment or declaration.");
        i_ = found + end.size();
        return true;
    }
    bool skipQuoted() {
        const void* close = std::memchr(p_ + i_ + 1, p_[i_], n_ - i_ - 1);
        if (!close) return fail("The XML ends inside a quoted value.");
        i_ = size_t(static_cast<const char*>(close) - p_) + 1;
        return true;
    }

    // A DOCTYPE, `i_` past "<!DOCTYPE": up to its '>', passing over quoted
    // text and the internal subset in brackets.
    bool skipDoctype() {
        bool subset = false;
        while (i_ < n_) {
            const char c = p_[i_];
            if (c == '"' || c == '\'') {
                if (!skipQuoted()) return false;
                continue;
            }
            ++i_;
            if (c == '[') subset = true;
            if (c == ']') subset = false;
            if (c == '>' && !subset) return true;
        }
        return fail("The XML ends inside its DOCTYPE.");
    }

    // White space, comments, processing instructions and DOCTYPEs (which
    // other readers pass over wherever they are); false on a problem.
    bool skipMisc() {
        for (;;) {
            skipSpace();
            if (at("<!--")) {
                i_ += 4;
                if (!skipPast("-->")) return false;
            } else if (at("<?")) {
                if (!skipPast("?>")) return false;
            } else if (at("<!DOCTYPE")) {
                i_ += 9;
                if (!skipDoctype()) return false;
            } else {
                return true;
            }
        }
    }

    // The next tag, past anything skipMisc skips; text there is refused.
    bool nextTag(Tag& tag) {
        if (!skipMisc()) return false;
        if (i_ >= n_) return fail("The XML ends before its property list does.");
        if (p_[i_] != '<') return fail("The XML has text outside a value.");
        ++i_;
        tag = Tag{};
        tag.closing = i_ < n_ && p_[i_] == '/';
        if (tag.closing) ++i_;
        const size_t start = i_;
        while (i_ < n_ && !isSpace(p_[i_]) && p_[i_] != '>' && p_[i_] != '/') ++i_;
        tag.name = std::string_view(p_ + start, i_ - start);
        if (tag.name.empty()) return fail("The XML has a tag without a name.");
        return tag.closing ? endOfClosingTag() : restOfStartTag(tag);
    }

    bool endOfClosingTag() {
        skipSpace();
        if (i_ >= n_ || p_[i_] != '>') return fail("The XML has a damaged closing tag.");
        ++i_;
        return true;
    }

    // Attributes (passed over) up to "/>" or ">".
    bool restOfStartTag(Tag& tag) {
        for (;;) {
            skipSpace();
            if (at("/>")) {
                i_ += 2;
                tag.empty = true;
                return true;
            }
            if (at(">")) {
                ++i_;
                return true;
            }
            while (i_ < n_ && !isSpace(p_[i_]) && p_[i_] != '=' && p_[i_] != '>' && p_[i_] != '/') ++i_;
            skipSpace();
            if (i_ >= n_ || p_[i_] != '=') return fail("The XML has a damaged attribute.");
            ++i_;
            skipSpace();
            if (i_ >= n_ || (p_[i_] != '"' && p_[i_] != '\'') || !skipQuoted()) {
                return fail("The XML has a damaged attribute.");
            }
        }
    }

    // A character reference or one of the five named entities, `i_` at '&'.
    bool readEntity(std::string& out) {
        if (n_ - i_ > 1 && p_[i_ + 1] == '#') return readCharacterReference(out);
        // Looked for within the longest name only, so that text of many
        // '&' and no ';' is not searched to its end at each.
        const size_t length = std::string_view(p_ + i_, std::min<size_t>(n_ - i_, 6)).find(';');
        if (length == std::string_view::npos) return fail("The XML has a damaged entity.");
        const std::string_view name(p_ + i_ + 1, length - 1);
        i_ += length + 1;
        static constexpr std::pair<std::string_view, char> kNamed[] = {
            {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
        for (const auto& [entity, c] : kNamed) {
            if (name != entity) continue;
            out += c;
            return true;
        }
        return fail("The XML has an entity that is not a character.");
    }

    // "&#" digits ";" or "&#x" hex digits ";", `i_` at '&'. Leading zeros
    // are as many as XML allows, any number: each is passed once, and a
    // reference without its ';' ends the read.
    bool readCharacterReference(std::string& out) {
        size_t j = i_ + 2;
        const bool hex = j < n_ && (p_[j] == 'x' || p_[j] == 'X');
        if (hex) ++j;
        const size_t first = j;
        while (j < n_ && p_[j] == '0') ++j;
        const size_t significant = j;
        uint32_t c = 0;
        // Eight significant digits at most, past any character's number.
        while (j < n_ && j - significant < 8 && std::isxdigit(uint8_t(p_[j])) && (hex || std::isdigit(uint8_t(p_[j])))) {
            const char d = char(std::tolower(uint8_t(p_[j++])));
            c = c * (hex ? 16 : 10) + uint32_t(d <= '9' ? d - '0' : d - 'a' + 10);
        }
        if (j == first || j >= n_ || p_[j] != ';' || c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return fail("The XML has an entity that is not a character.");
        }
        i_ = j + 1;
        ns::utf8::appendCodePoint(c, out);
        return true;
    }


    // Text as written in the document, line ends as XML 1.0 reads them
    // (its section 2.11): a raw carriage return, alone or before a line
    // feed, is one line feed, as Python's plistlib and any XML parser read
    // it. A character reference to one (&#13;) is not raw and stays a
    // carriage return, which is how the writer keeps one. A pair never
    // spans two runs: a run ends before markup ('&' or '<') or "]]>".
    static void appendRaw(const char* s, size_t n, std::string& out) {
        const char* end = s + n;
        while (s < end) {
            const void* cr = std::memchr(s, '\r', size_t(end - s));
            if (!cr) {
                out.append(s, size_t(end - s));
                return;
            }
            const char* at = static_cast<const char*>(cr);
            out.append(s, size_t(at - s));
            out += '\n';
            s = at + 1;
            if (s < end && *s == '\n') ++s;
        }
    }

    // The text of a leaf element up to its closing tag, each character
    // appended once.
    bool readText(std::string_view name, std::string& out) {
        // The next '<' is looked for again only once it is passed, so that
        // a text of many entities is not searched to its end at each one.
        size_t lt = find('<');
        for (;;) {
            const void* amp = std::memchr(p_ + i_, '&', lt - i_);
            const size_t stop = amp ? size_t(static_cast<const char*>(amp) - p_) : lt;
            appendRaw(p_ + i_, stop - i_, out);
            i_ = stop;
            if (i_ >= n_) return fail("The XML ends inside the text of a value.");
            if (p_[i_] == '&') {
                if (!readEntity(out)) return false;
                if (i_ > lt) return fail("The XML has a damaged entity.");
                continue;
            }
            if (at("<!--")) {
                i_ += 4;
                if (!skipPast("-->")) return false;
            } else if (at("<![CDATA[")) {
                i_ += 9;
                const size_t end = std::string_view(p_, n_).find("]]>", i_);
                if (end == std::string_view::npos) return fail("The XML ends inside a CDATA section.");
                appendRaw(p_ + i_, end - i_, out);
                i_ = end + 3;
            } else {
                Tag tag;
                if (!at("</") || !nextTag(tag)) return fail("The XML has an element inside the text of a value.");
                if (tag.name != name) return fail("The XML has a closing tag that closes nothing open.");
                return true;
            }
            lt = find('<');
        }
    }

    // Where the next `c` is from `i_` on, or the end.
    size_t find(char c) const {
        const void* at = std::memchr(p_ + i_, c, n_ - i_);
        return at ? size_t(static_cast<const char*>(at) - p_) : n_;
    }

    // A leaf element's value, its start tag read.
    Value leaf(const Tag& tag) {
        std::string text;
        if (!tag.empty && !readText(tag.name, text)) return Value();
        const std::string_view name = tag.name;
        if (name == "string") {
            if (validText(text)) return Value(std::move(text));
            fail("A string is not valid UTF-8 or contains a NUL character.");
            return Value();
        }
        if (name == "true" || name == "false") {
            if (trimmed(text).empty()) return Value(name == "true");
            fail("A boolean element holds text.");
            return Value();
        }
        if (name == "data") {
            auto bytes = crypto::base64Decode(text);
            if (bytes) return Value(std::move(*bytes));
            fail("A data element is not base64.");
            return Value();
        }
        if (name == "integer") return integer(trimmed(text));
        if (name == "real") return real(trimmed(text));
        if (name == "date") return date(trimmed(text));
        fail("The XML has an element that is not a property-list value: " + std::string(name) + ".");
        return Value();
    }

    Value integer(std::string_view t) {
        const bool negative = !t.empty() && t[0] == '-';
        if (!t.empty() && (t[0] == '-' || t[0] == '+')) t.remove_prefix(1);
        const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
        if (hex) t.remove_prefix(2);
        uint64_t v = 0;
        const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v, hex ? 16 : 10);
        if (t.empty() || ec != std::errc() || ptr != t.data() + t.size() ||
            (negative && v > uint64_t(std::numeric_limits<int64_t>::max()) + 1)) {
            fail("An integer is not a number a 64-bit integer holds.");
            return Value();
        }
        if (negative) return Value(int64_t(~v + 1));
        return Value(static_cast<unsigned long long>(v));
    }

    Value real(std::string_view t) {
        std::string lower(t);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return char(std::tolower(c)); });
        if (lower == "nan") return Value(std::numeric_limits<double>::quiet_NaN());
        for (const char* inf : {"inf", "+inf", "infinity", "+infinity"}) {
            if (lower == inf) return Value(std::numeric_limits<double>::infinity());
        }
        if (lower == "-inf" || lower == "-infinity") return Value(-std::numeric_limits<double>::infinity());
        if (!t.empty() && t[0] == '+') t.remove_prefix(1);
        double d = 0;
        const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), d);
        if (t.empty() || (ec != std::errc() && ec != std::errc::result_out_of_range) || ptr != t.data() + t.size()) {
            fail("A real is not a number.");
            return Value();
        }
        // Past a double's range, as other readers read it (C's strtod).
        return Value(ec == std::errc() ? d : outOfRange(t));
    }

    // A number past a double's range, as from_chars matched it: infinity
    // when its first digit that is not zero stands for a positive power of
    // ten, else zero, with its sign.
    static double outOfRange(std::string_view t) {
        const bool negative = t[0] == '-';
        if (negative) t.remove_prefix(1);
        const size_t e = std::min(t.find_first_of("eE"), t.size());
        const std::string_view mantissa = t.substr(0, e);
        const size_t point = std::min(mantissa.find('.'), mantissa.size());
        const size_t digit = mantissa.find_first_of("123456789");
        using Power = long long;
        Power power = digit < point ? Power(point - digit) - 1 : Power(point) - Power(digit);
        Power exponent = 0;
        std::string_view written = t.substr(std::min(e + 1, t.size()));
        const bool below = !written.empty() && written[0] == '-';
        if (!written.empty() && (written[0] == '-' || written[0] == '+')) written.remove_prefix(1);
        // An exponent past a long long's range is past any double's too.
        if (std::from_chars(written.data(), written.data() + written.size(), exponent).ec != std::errc()) {
            exponent = std::numeric_limits<int>::max();
        }
        exponent = std::min<Power>(exponent, std::numeric_limits<int>::max());
        power += below ? -exponent : exponent;
        const double magnitude = power > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        return negative ? -magnitude : magnitude;
    }

    static int daysInMonth(int year, int month) {
        static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return month == 2 && leap ? 29 : kDays[month - 1];
    }

    // Days from 1970-01-01 to a day of the proleptic Gregorian calendar.
    static int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
        y -= m <= 2;
        const int64_t era = (y >= 0 ? y : y - 399) / 400;
        const int64_t yoe = y - era * 400;
        const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + doe - 719468;
    }

    // "YYYY-MM-DDTHH:MM:SSZ", or with smaller units left out, as the format
    // allows and both other readers take: the time ("2020-05-06Z"), the
    // minutes ("2020-05-06T10Z") or the seconds ("2020-05-06T10:20Z"). A
    // fraction of a second is read and dropped, as the form keeps whole
    // seconds.
    Value date(std::string_view t) {
        auto number = [&](size_t at, size_t digits, int& out) {
            if (t.size() < at + digits) return false;
            const auto [ptr, ec] = std::from_chars(t.data() + at, t.data() + at + digits, out);
            return ec == std::errc() && ptr == t.data() + at + digits && std::isdigit(uint8_t(t[at]));
        };
        int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
        bool shaped = t.size() > 10 && t[4] == '-' && t[7] == '-' && number(0, 4, year) && number(5, 2, month) &&
                      number(8, 2, day);
        size_t end = 10;  // where the 'Z' stands
        const std::pair<char, int*> smaller[] = {{'T', &hour}, {':', &minute}, {':', &second}};
        for (const auto& [separator, value] : smaller) {
            if (!shaped || end >= t.size() || t[end] != separator) break;
            shaped = number(end + 1, 2, *value);
            end += 3;
        }
        if (end == 19 && end < t.size() && t[end] == '.') {
            ++end;
            while (end < t.size() && std::isdigit(uint8_t(t[end]))) ++end;
        }
        shaped = shaped && t.size() == end + 1 && t[end] == 'Z';
        if (!shaped || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
            minute > 59 || second > 60) {
            fail("A date is not of the form YYYY-MM-DDTHH:MM:SSZ.");
            return Value();
        }
        const double since1970 = double(daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second);
        if (!plist_date::holds(since1970)) {
            fail("A date is outside the range property lists can hold, 1933 to 2069.");
            return Value();
        }
        return Value(Date{since1970});
    }

    // A value where frames_ says: the top-level one, an array's item or a
    // dictionary's member (after its key).
    bool place(Value v, Value& root) {
        if (frames_.empty()) {
            root = std::move(v);
            return true;
        }
        Frame& top = frames_.back();
        if (top.name == "array") {
            top.items.push_back(std::move(v));
            return true;
        }
        if (!top.hasKey) return fail("A value in a dictionary has no key.");
        // Keys mostly come in order: placed at the end in constant time.
        top.entries.insert_or_assign(top.entries.end(), std::move(top.key), std::move(v));
        top.key.clear();
        top.hasKey = false;
        return true;
    }

    // A dictionary's key, its start tag read.
    bool key(const Tag& tag) {
        if (frames_.empty() || frames_.back().name != "dict" || frames_.back().hasKey) {
            return fail("The XML has a key outside a dictionary or two keys in a row.");
        }
        Frame& top = frames_.back();
        if (!tag.empty && !readText(tag.name, top.key)) return false;
        if (!validText(top.key)) return fail("A key is not valid UTF-8.");
        top.hasKey = true;
        return true;
    }

    // One value from its start tag `tag` on, containers through frames_.
    bool readValue(Tag tag, Value& root) {
        for (;;) {
            if (tag.closing) {
                if (frames_.empty() || tag.name != frames_.back().name) {
                    return fail("The XML has a closing tag that closes nothing open.");
                }
                Frame done = std::move(frames_.back());
                frames_.pop_back();
                if (done.hasKey) return fail("A key in a dictionary has no value.");
                if (!place(done.name == "array" ? Value(std::move(done.items)) : Value(std::move(done.entries)), root)) {
                    return false;
                }
            } else if (tag.name == "key") {
                if (!key(tag)) return false;
            } else if (frames_.size() > kMaxDepth) {
                return fail(tooDeep());
            } else if (tag.name == "array" || tag.name == "dict") {
                if (tag.empty) {
                    if (!place(tag.name == "array" ? Value(Array{}) : Value(Dictionary{}), root)) return false;
                } else {
                    frames_.push_back(Frame{tag.name, {}, {}, {}, false});
                }
            } else {
                Value v = leaf(tag);
                if (!problem_.empty() || !place(std::move(v), root)) return false;
            }
            if (frames_.empty()) return true;
            if (!nextTag(tag)) return false;
        }
    }

    Value readDocument() {
        if (at("\xEF\xBB\xBF")) i_ += 3;
        Tag tag;
        if (!nextTag(tag)) return Value();
        const bool wrapped = !tag.closing && tag.name == "plist";
        if (wrapped && (tag.empty || !nextTag(tag))) {
            fail("The property list holds no value.");
            return Value();
        }
        Value root;
        if (!readValue(tag, root)) return Value();
        if (wrapped && (!nextTag(tag) || !tag.closing || tag.name != "plist")) {
            fail("The property list holds more than one value.");
            return Value();
        }
        // What follows the list is not read, as other readers leave it: a
        // stored list with bytes appended after its end still reads.
        return root;
    }

    const char* p_;
    size_t n_;
    size_t i_ = 0;
    std::vector<Frame> frames_;
    std::string problem_;
};

// The XML form as other writers of property lists lay it out, one element a
// line, indented by tabs; levels past kMaxIndent keep its indentation, so
// that the text stays within a small multiple of the value however deep.
class XMLWriter {
public:
    std::string write(const Value& value) {
        out_ =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n";
        element(value, 0);
        out_ += "</plist>\n";
        return std::move(out_);
    }

private:
    static constexpr size_t kMaxIndent = 8;

    void line(size_t depth, std::string_view open, std::string_view text, std::string_view close) {
        out_.append(std::min(depth, kMaxIndent), '\t');
        out_ += open;
        out_ += text;
        out_ += close;
        out_ += '\n';
    }

    void escaped(size_t depth, std::string_view name, std::string_view text) {
        std::string body;
        body.reserve(text.size());
        for (char c : text) {
            switch (c) {
                case '&': body += "&amp;"; break;
                case '<': body += "&lt;"; break;
                case '>': body += "&gt;"; break;
                // XML readers read a raw carriage return as a line feed.
                case '\r': body += "&#13;"; break;
                default: body += c;
            }
        }
        line(depth, "<" + std::string(name) + ">", body, "</" + std::string(name) + ">");
    }

    static std::string real(double d) {
        if (std::isnan(d)) return "nan";
        if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
        return formatDouble(d);
    }

    // The whole second a date falls in, as "YYYY-MM-DDTHH:MM:SSZ": the
    // date as the binary form stores it (to the microsecond) floored, so
    // that both forms of one date agree on the second, as Python's plistlib
    // writes a date's second. Only a date inside the range's first second
    // would floor onto its excluded end, which no reader holds; it is
    // written as the range's earliest whole second instead.
    static std::string isoDate(Date date) {
        const auto held = plist_date::libraryDate(date.secondsSince1970 - kEpoch2001);
        int64_t since2001 = int64_t(held->seconds) - (held->microseconds < 0 ? 1 : 0);
        since2001 = std::max(since2001, int64_t(plist_date::kEarliest) + 1);
        const int64_t t = since2001 + int64_t(kEpoch2001);
        int64_t days = t / 86400, secs = t % 86400;
        if (secs < 0) secs += 86400, --days;
        // Civil date from days since 1970 (proleptic Gregorian).
        const int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097, doe = z - era * 146097;
        const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365, doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        const int64_t mp = (5 * doy + 2) / 153, d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
        return format("%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(yoe + era * 400 + (m <= 2)),
                      static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(secs / 3600),
                      static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
    }

    void element(const Value& v, size_t depth) {
        switch (v.type()) {
            case Value::Type::Bool: return line(depth, v.asBool() ? "<true/>" : "<false/>", "", "");
            case Value::Type::Int: return line(depth, "<integer>", std::to_string(v.asInt()), "</integer>");
            case Value::Type::UInt: return line(depth, "<integer>", std::to_string(v.asUInt()), "</integer>");
            case Value::Type::Double: return line(depth, "<real>", real(v.asDouble()), "</real>");
            case Value::Type::String: return escaped(depth, "string", v.asString());
            case Value::Type::Data: return line(depth, "<data>", crypto::base64Encode(v.asData()), "</data>");
            case Value::Type::Date: return line(depth, "<date>", isoDate(v.asDate()), "</date>");
            case Value::Type::Array:
                if (v.asArray().empty()) return line(depth, "<array/>", "", "");
                line(depth, "<array>", "", "");
                for (const Value& item : v.asArray()) element(item, depth + 1);
                return line(depth, "</array>", "", "");
            case Value::Type::Dictionary:
                if (v.asDictionary().empty()) return line(depth, "<dict/>", "", "");
                line(depth, "<dict>", "", "");
                for (const auto& [key, member] : v.asDictionary()) {
                    escaped(depth + 1, "key", key);
                    element(member, depth + 1);
                }
                return line(depth, "</dict>", "", "");
            default: return;  // unwritable() refused the rest
        }
    }

    std::string out_;
};

void setError(ErrorRef* error, ErrorRef value) {
    if (error) *error = std::move(value);
}

}  // namespace

Value parse(const Data& bytes, ErrorRef* error, Format* detected) {
    setError(error, nullptr);
    if (bytes.empty()) {
        setError(error, readError("The data is empty."));
        return Value();
    }
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
        setError(error, readError("The data is too large for a property list."));
        return Value();
    }
    const bool binary = bytes.size() >= 6 && std::memcmp(bytes.data(), "bplist", 6) == 0;
    if (detected) *detected = binary ? Format::Binary : Format::XML;
    std::string problem;
    Value value = binary ? plist_codec::readBinary(bytes.data(), bytes.size(), problem)
                         : XMLReader(reinterpret_cast<const char*>(bytes.data()), bytes.size()).read(problem);
    if (!problem.empty()) {
        setError(error, readError(problem));
        return Value();
    }
    return value;
}

bool isValidPropertyList(const Value& value) { return plist_codec::unwritable(value).empty(); }

Data serialize(const Value& value, Format format, ErrorRef* error) {
    setError(error, nullptr);
    if (std::string problem = plist_codec::unwritable(value, format == Format::XML); !problem.empty()) {
        setError(error, writeError(problem));
        return {};
    }
    if (format == Format::Binary) return plist_codec::writeBinary(value, false);
    const std::string text = XMLWriter().write(value);
    return Data(text.begin(), text.end());
}

Value readFile(const std::string& path, ErrorRef* error) {
    setError(error, nullptr);
    ErrorRef ioError;
    auto bytes = readWholeFile(path, &ioError);
    if (!bytes) {
        setError(error, ioError);
        return Value();
    }
    ErrorRef parseError;
    Value v = parse(*bytes, &parseError);
    if (parseError) {
        Dictionary info;
        std::string problem = parseError->localizedDescription();
        const std::string prefix = "The data couldn’t be read because it isn’t in the correct format. ";
        if (problem.rfind(prefix, 0) == 0) problem.erase(0, prefix.size());
        info[kLocalizedDescriptionKey] = "The file “" + path + "” couldn’t be read because it isn’t in the correct format. " + problem;
        info[kFilePathErrorKey] = path;
        info[kUnderlyingErrorKey] = Value(std::const_pointer_cast<Error>(parseError));
        setError(error, Error::make(kCocoaErrorDomain, kReadCorruptError, std::move(info)));
        return Value();
    }
    return v;
}

bool writeFile(const std::string& path, const Value& value, Format format, ErrorRef* error, int permissions) {
    setError(error, nullptr);
    ErrorRef encodeError;
    Data bytes = serialize(value, format, &encodeError);
    if (bytes.empty()) {
        Dictionary info;
        info[kLocalizedDescriptionKey] = "The file “" + path + "” couldn’t be saved. " +
                                         (encodeError ? encodeError->localizedDescription() : std::string());
        info[kFilePathErrorKey] = path;
        setError(error, Error::make(kCocoaErrorDomain, kWriteInvalidError, std::move(info)));
        return false;
    }
    return writeWholeFile(path, bytes, error, permissions);
}

}  // namespace ns::plist

namespace ns::plist_codec {

std::string unwritable(const Value& value, bool asXML) {
    std::vector<std::string> where;
    std::map<const void*, plist::Checked> seen;
    plist::Checked checked;
    std::string problem = plist::unwritableAt(value, 0, asXML, where, checked, seen);
    if (problem.empty()) return {};
    std::string path;
    for (auto step = where.rbegin(); step != where.rend(); ++step) path += *step;
    if (!path.empty() && path[0] == '.') path.erase(0, 1);
    return problem + " (" + (path.empty() ? std::string("at the top level") : "at " + path) + ").";
}

}  // namespace ns::plist_codec
