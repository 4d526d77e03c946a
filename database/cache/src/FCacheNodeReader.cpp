#include "database/cache/FCacheNodeReader.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>

#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"
#include "platform/thread_owned.h"
#include "platform/utf8.h"

namespace {

const char kPriorityKey[] = ".priority";
const char kValueKey[] = ".value";
const char kServerValueKey[] = ".sv";

// Nesting the reader follows before it leaves the text to the generic
// reader (the JSON reader and the values' conversion, which take the
// deepest data a write may hold).
constexpr int kMaxDepth = 500;

bool isValidKey(std::string_view key) {
    if (key.empty()) return false;
    for (const char c : key) {
        if (c == '.' || c == '#' || c == '$' || c == '[' || c == ']' || c == '/') return false;
    }
    return true;
}

// A priority conversion keeps: a number or a string.
bool isPriorityLeaf(const FNodePtr& node) {
    if (!node->isLeafNode()) return false;
    const auto& leaf = static_cast<const FLeafNode&>(*node);
    return leaf.isNumber() || leaf.isString();
}

// Bytes of `text` from `p` on that a JSON string carries as they are
// (printable ASCII but for the quote and the backslash), eight at a time:
// the first byte past them, or `end`.
[[gnu::always_inline]] inline const char* plainRunEnd(const char* p, const char* end) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    if constexpr (std::endian::native == std::endian::little) {
        for (; end - p >= 8; p += 8) {
            uint64_t x;
            std::memcpy(&x, p, 8);
            const uint64_t quote = x ^ (kOnes * '"');
            const uint64_t backslash = x ^ (kOnes * '\\');
            // A byte's high bit for each zero byte (the quote, the
            // backslash), each byte below 0x20 and each byte beyond ASCII;
            // the lowest one is exact.
            const uint64_t special = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                     ((x - kOnes * 0x20) & ~x) | x;
            if (const uint64_t found = special & kHighs) return p + std::countr_zero(found) / 8;
        }
    }
    while (p != end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20 &&
           static_cast<unsigned char>(*p) < 0x80) {
        ++p;
    }
    return p;
}

// Byte order of two texts; most keys of an object differ in their first
// byte, which settles it without a call.
[[gnu::always_inline]] inline bool byteLess(std::string_view a, std::string_view b) {
    if (!a.empty() && !b.empty() && a.front() != b.front()) {
        return static_cast<unsigned char>(a.front()) < static_cast<unsigned char>(b.front());
    }
    return a < b;
}

// Places deeper or further along than these share the last one.
constexpr size_t kPlaceDepths = 16;
constexpr size_t kPlacePositions = 32;

// A per-thread buffer for the entries of a node being read, one per level of
// nesting in progress, kept for the next node: most nodes are small, and a
// buffer of their own would cost an allocation each.
class EntryBuffer {
    static constexpr size_t kKeptEntries = 4096;

public:
    EntryBuffer() : stack_(stack()) {
        if (stack_.depth == stack_.buffers.size()) {
            stack_.buffers.push_back(std::make_unique<std::vector<FChildrenDictionary::Entry>>());
        }
        entries_ = stack_.buffers[stack_.depth++].get();
    }
    ~EntryBuffer() {
        entries_->clear();
        // A buffer that held a large node is not kept for the thread's life.
        if (entries_->capacity() > kKeptEntries) std::vector<FChildrenDictionary::Entry>().swap(*entries_);
        --stack_.depth;
    }
    EntryBuffer(const EntryBuffer&) = delete;
    EntryBuffer& operator=(const EntryBuffer&) = delete;
    std::vector<FChildrenDictionary::Entry>& entries() { return *entries_; }

private:
    struct Stack {
        std::vector<std::unique_ptr<std::vector<FChildrenDictionary::Entry>>> buffers;
        size_t depth = 0;
    };
    static Stack& stack() {
        thread_local Stack* s = nullptr;
        return ns::threadOwned(s);
    }
    Stack& stack_;
    std::vector<FChildrenDictionary::Entry>* entries_;
};

}  // namespace

FChildKey FCacheNodeReader::Sharing::Place::newKey(std::string_view name) {
    if (keyLookUps_.shouldLook()) {
        bool reused;
        key_ = FChildKey::shared(name, reused);
        keyLookUps_.note(reused);
    } else {
        key_ = FChildKey::makeUnshared(name);
    }
    keyInByteOrder_ = byteOrderIsKeyOrder(name);
    return key_;
}

FCacheNodeReader::Sharing::Place& FCacheNodeReader::Sharing::add(size_t depth, size_t position) {
    depth = std::min(depth, kPlaceDepths - 1);
    position = std::min(position, kPlacePositions - 1);
    if (places_.size() <= depth) places_.resize(depth + 1);
    // Whole rows at once: a place handed out stays where it is while deeper
    // ones are added, and a row that is there has every place of it.
    std::vector<Place>& row = places_[depth];
    if (row.empty()) row.resize(kPlacePositions);
    return row[position];
}

namespace {

// Recursive descent over the JSON the cache writes. Every method answers
// false (or nullptr) when the text is not one it takes.
class Parser {
public:
    Parser(std::string_view text, FCacheNodeReader::Sharing* sharing)
        : p_(text.data()), end_(text.data() + text.size()), sharing_(sharing) {}

    bool atEnd() {
        skipSpace();
        return p_ == end_;
    }

    // A leaf without a priority is made at `place` when there is one.
    FNodePtr node(int depth, FCacheNodeReader::Sharing::Place* place) {
        skipSpace();
        if (p_ == end_) return nullptr;
        if (*p_ == '{') return object(depth);
        // Strings, most leaves, become leaves straight from their text.
        if (*p_ == '"') {
            std::string_view s;
            if (!stringView(s, scratch_) || s.size() > kQuorvaneMaxLeafSize) return nullptr;
            if (place) return place->textLeaf(s);
            bool reused;
            return FLeafNode::makeText(s, reused);
        }
        // So do integers that need no more than the short reading.
        if (*p_ >= '0' && *p_ <= '9') {
            const char* at = p_;
            int64_t integer;
            if (shortInteger(at, integer) && (*p_ != '0' || at - p_ == 1) &&
                (at == end_ || (*at != '.' && *at != 'e' && *at != 'E'))) {
                p_ = at;
                if (place) return place->intLeaf(integer);
                bool reused;
                return FLeafNode::makeInt(integer, reused);
            }
        }
        return primitiveThen([&](const ns::Value& value) -> FNodePtr {
            if (value.isNull()) return FEmptyNode::emptyNode();
            return place ? place->leaf(value) : leaf(value, nullptr);
        });
    }

    // A string, number, boolean or null.
    bool primitive(ns::Value& out) {
        return primitiveThen([&](ns::Value&& value) {
            out = std::move(value);
            return true;
        });
    }

    // What `use` makes of the next string, number, boolean or null, which
    // it is handed as made (a leaf needs no value moved into place); the
    // empty result when there is none.
    template <class Use>
    auto primitiveThen(Use&& use) -> decltype(use(ns::Value())) {
        skipSpace();
        if (p_ == end_) return {};
        switch (*p_) {
            case '"': {
                std::string_view s;
                if (!stringView(s, scratch_)) return {};
                return use(ns::Value(s));
            }
            case 't': return literal("true") ? use(ns::Value(true)) : decltype(use(ns::Value())){};
            case 'f': return literal("false") ? use(ns::Value(false)) : decltype(use(ns::Value())){};
            case 'n': return literal("null") ? use(ns::Value()) : decltype(use(ns::Value())){};
            default: return number(use);
        }
    }

    bool string(std::string& out) {
        if (p_ == end_ || *p_ != '"') return false;
        ++p_;
        bool ascii = true;
        while (p_ != end_) {
            const char* run = p_;
            for (p_ = plainRunEnd(p_, end_);
                 p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20;
                 p_ = plainRunEnd(p_ + 1, end_)) {
                ascii &= static_cast<unsigned char>(*p_) < 0x80;
            }
            out.append(run, p_);
            if (p_ == end_ || static_cast<unsigned char>(*p_) < 0x20) return false;
            if (*p_++ == '"') return ascii || ns::utf8::isValid(out);
            if (!escape(out)) return false;
        }
        return false;
    }

    // A string as a view: into the text when it holds no escape and no
    // byte beyond ASCII, else into `scratch`, decoded.
    // Every key and most values are plain: their case stays inline.
    [[gnu::always_inline]] bool stringView(std::string_view& out, std::string& scratch) {
        if (p_ == end_ || *p_ != '"') return false;
        const char* start = p_ + 1;
        const char* close = plainRunEnd(start, end_);
        if (close != end_ && *close == '"') {
            out = std::string_view(start, size_t(close - start));
            p_ = close + 1;
            return true;
        }
        return decodedString(out, scratch);
    }

    [[gnu::noinline]] bool decodedString(std::string_view& out, std::string& scratch) {
        scratch.clear();
        if (!string(scratch)) return false;
        out = scratch;
        return true;
    }

    // Members in strictly increasing byte order, as the cache writes them
    // (which also rules out a repeated key). `member(key)` reads the value.
    template <class Member>
    bool members(Member&& member) {
        if (p_ == end_ || *p_ != '{') return false;
        ++p_;
        skipSpace();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            return true;
        }
        // Two buffers, so the previous key's view stays valid.
        std::string scratch[2];
        std::string_view previous;
        for (int turn = 0;; turn ^= 1) {
            skipSpace();
            std::string_view key;
            if (!stringView(key, scratch[turn]) || (previous.data() && !byteLess(previous, key))) return false;
            skipSpace();
            if (p_ == end_ || *p_++ != ':') return false;
            if (!member(key)) return false;
            skipSpace();
            if (p_ == end_) return false;
            const char c = *p_++;
            if (c == '}') return true;
            if (c != ',') return false;
            previous = key;
        }
    }

    // A non-negative integer that fits an int64.
    bool writeId(int64_t& out) {
        skipSpace();
        const char* next = p_;
        if (!shortInteger(next, out)) {
            const auto [after, error] = std::from_chars(p_, end_, out);
            if (error != std::errc()) return false;
            next = after;
        }
        if (out < 0 || next == p_ || (*p_ == '0' && next - p_ > 1)) return false;
        if (next != end_ && (*next == '.' || *next == 'e' || *next == 'E')) return false;
        p_ = next;
        return true;
    }

    // Digits, at most 18 and at least one, read at `at` into `out` (ids and
    // most integer values; from_chars costs several times more for them);
    // false, `at` and `out` untouched, for anything else.
    [[gnu::always_inline]] bool shortInteger(const char*& at, int64_t& out) const {
        const char* q = at;
        const char* limit = end_ - q > 18 ? q + 18 : end_;
        uint64_t value = 0;
        for (unsigned digit; q != limit && (digit = unsigned(*q) - '0') < 10; ++q) value = value * 10 + digit;
        if (q == at || (q != end_ && unsigned(*q) - '0' < 10)) return false;
        at = q;
        out = int64_t(value);
        return true;
    }

    void setSharing(FCacheNodeReader::Sharing* sharing) { sharing_ = sharing; }

    // Exactly these bytes next, no space before them.
    template <size_t N>
    [[gnu::always_inline]] bool literal(const char (&bytes)[N]) {
        constexpr size_t n = N - 1;
        if (size_t(end_ - p_) < n || std::memcmp(p_, bytes, n) != 0) return false;
        p_ += n;
        return true;
    }

    // A string without escapes or bytes beyond ASCII, as a view into the
    // text.
    bool plainString(std::string_view& out) {
        if (p_ == end_ || *p_ != '"') return false;
        const char* start = ++p_;
        p_ = plainRunEnd(p_, end_);
        if (p_ == end_ || *p_ != '"') return false;
        out = std::string_view(start, size_t(p_++ - start));
        return true;
    }

    char peek() {
        skipSpace();
        return p_ == end_ ? '\0' : *p_;
    }

private:
    [[gnu::always_inline]] void skipSpace() {
        // The cache writes no space: one test passes the usual byte.
        if (p_ == end_ || static_cast<unsigned char>(*p_) > ' ') return;
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    // After a backslash; "\u" only for ASCII, which is all the cache writes.
    bool escape(std::string& out) {
        if (p_ == end_) return false;
        switch (*p_++) {
            case '"': out.push_back('"'); return true;
            case '\\': out.push_back('\\'); return true;
            case '/': out.push_back('/'); return true;
            case 'b': out.push_back('\b'); return true;
            case 'f': out.push_back('\f'); return true;
            case 'n': out.push_back('\n'); return true;
            case 'r': out.push_back('\r'); return true;
            case 't': out.push_back('\t'); return true;
            case 'u': {
                unsigned code = 0;
                if (end_ - p_ < 4) return false;
                const auto [next, error] = std::from_chars(p_, p_ + 4, code, 16);
                if (error != std::errc() || next != p_ + 4 || code >= 0x80) return false;
                p_ += 4;
                out.push_back(char(code));
                return true;
            }
            default: return false;
        }
    }

    // JSON's number grammar; the kinds come out as the generic reader's do:
    // an integer as int64 (uint64 above its range), anything with a
    // fraction or exponent as a double, handed to `use`.
    template <class Use>
    auto number(Use& use) -> decltype(use(ns::Value())) {
        const char* start = p_;
        const char* q = p_;
        if (q != end_ && *q == '-') ++q;
        const char* digits = q;
        while (q != end_ && *q >= '0' && *q <= '9') ++q;
        if (q == digits || (*digits == '0' && q - digits > 1)) return {};
        bool integral = true;
        if (q != end_ && *q == '.') {
            integral = false;
            const char* fraction = ++q;
            while (q != end_ && *q >= '0' && *q <= '9') ++q;
            if (q == fraction) return {};
        }
        if (q != end_ && (*q == 'e' || *q == 'E')) {
            integral = false;
            ++q;
            if (q != end_ && (*q == '+' || *q == '-')) ++q;
            const char* exponent = q;
            while (q != end_ && *q >= '0' && *q <= '9') ++q;
            if (q == exponent) return {};
        }
        p_ = q;
        if (integral) {
            int64_t i;
            unsigned long long u;
            if (const char* at = start; *start != '-' && shortInteger(at, i) && at == q) return use(ns::Value(i));
            if (std::from_chars(start, q, i).ec == std::errc()) return use(ns::Value(i));
            if (*start != '-' && std::from_chars(start, q, u).ec == std::errc()) return use(ns::Value(u));
            return {};
        }
        double d;
        if (shortDecimal(start, q, d)) return use(ns::Value(d));
        const auto [next, error] = std::from_chars(start, q, d);
        if (error != std::errc() || next != q) return {};
        return use(ns::Value(d));
    }

    // A number of the grammar with a fraction, no exponent and at most 15
    // digits (prices, rates): its digits as an integer and the power of ten
    // of its fraction are both exact doubles, so one division rounds as
    // from_chars does, at a fraction of its cost.
    static bool shortDecimal(const char* start, const char* end, double& out) {
        static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                  1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        const bool negative = *start == '-';
        uint64_t digits = 0;
        int count = 0, fraction = -1;
        for (const char* c = start + negative; c != end; ++c) {
            if (*c == '.') {
                fraction = 0;
                continue;
            }
            if (*c < '0' || *c > '9' || ++count > 15) return false;
            digits = digits * 10 + uint64_t(*c - '0');
            if (fraction >= 0) ++fraction;
        }
        if (fraction < 0) return false;
        out = double(digits) / kPowersOfTen[fraction];
        if (negative) out = -out;
        return true;
    }

    FNodePtr leaf(const ns::Value& value, FNodePtr priority) {
        if (value.isString() && value.asString().size() > kQuorvaneMaxLeafSize) return nullptr;
        // FLeafNode::make shares the leaves of small integers and booleans.
        return FLeafNode::make(value, std::move(priority));
    }

    // An export-form object: children, or {".value", ".priority"}.
    FNodePtr object(int depth) {
        if (depth >= kMaxDepth) return nullptr;
        EntryBuffer buffer;
        std::vector<FChildrenDictionary::Entry>& entries = buffer.entries();
        FNodePtr priority;
        FNodePtr valueNode;
        size_t count = 0;
        bool serverValue = false;
        bool inKeyOrder = true;
        const bool read = members([&](std::string_view key) {
            ++count;
            if (key == kPriorityKey) {
                ns::Value p;
                if (!primitive(p) || p.isBool() || (p.isString() && p.asString().size() > kQuorvaneMaxLeafSize)) {
                    return false;
                }
                if (!p.isNull()) priority = FLeafNode::make(p);
                return true;
            }
            if (key == kValueKey) {
                // ".priority" sorts first, so the priority is known here.
                ns::Value v;
                if (!primitive(v)) return false;
                valueNode = v.isNull() ? FEmptyNode::emptyNode() : leaf(v, priority);
                return valueNode != nullptr;
            }
            serverValue |= key == kServerValueKey;
            if (!serverValue && !isValidKey(key)) return false;
            FCacheNodeReader::Sharing::Place* place = sharing_ ? &sharing_->at(size_t(depth), count - 1) : nullptr;
            FNodePtr child = node(depth + 1, place);
            if (!child) return false;
            if (!child->isEmpty()) {
                if (place) {
                    entries.emplace_back(place->key(key), std::move(child));
                    inKeyOrder = inKeyOrder && place->keyInByteOrder();
                } else {
                    entries.emplace_back(FChildKey(key), std::move(child));
                    inKeyOrder = inKeyOrder && FCacheNodeReader::byteOrderIsKeyOrder(key);
                }
            }
            return true;
        });
        if (!read || (serverValue && count > 1)) return nullptr;
        if (valueNode) return valueNode;
        return FChildrenNode::make(FCacheNodeReader::childrenFrom(entries, inKeyOrder), std::move(priority));
    }

    const char* p_;
    const char* end_;
    FCacheNodeReader::Sharing* sharing_;
    // The decoded text of a string value with escapes, until it is copied.
    std::string scratch_;
};

}  // namespace

FNodePtr FCacheNodeReader::nodeFromJSON(std::string_view text, Sharing::Place* place) {
    // Most rows are plain strings: taken without the parser.
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"' && text.size() - 2 <= kQuorvaneMaxLeafSize) {
        const std::string_view inner = text.substr(1, text.size() - 2);
        if (plainRunEnd(inner.data(), inner.data() + inner.size()) == inner.data() + inner.size()) {
            if (place) return place->textLeaf(inner);
            bool reused;
            return FLeafNode::makeText(inner, reused);
        }
    }
    Parser parser(text, nullptr);
    FNodePtr node = parser.node(0, place);
    return node && parser.atEnd() ? node : nullptr;
}

namespace {

// The keys of a path's text, or a bound above them when that bound is at
// most `most`: a key takes a byte, and all but the last a "/" after it, so
// most paths are not counted. A row refused on a bound goes to the generic
// reader, which counts.
size_t keysAtMost(std::string_view path, size_t most) {
    const size_t bound = (path.size() + 1) / 2;
    return bound <= most ? bound : FCacheNodeReader::pathKeyCount(path);
}

// The merge members of a write row, the parser standing on its "{"; a
// member of more keys than `keysLeft` is refused before its node is made.
// `deepest` is set to (a bound above) the keys of the deepest member.
bool mergeMembers(Parser& parser, FCacheNodeReader::WriteRow& row, FCacheNodeReader::WriteSharing* sharing,
                  size_t keysLeft, size_t& deepest) {
    FCacheNodeReader::Sharing* merges = sharing ? &sharing->merges : nullptr;
    parser.setSharing(merges);
    size_t position = 0;
    deepest = 0;
    return parser.members([&](std::string_view path) {
        // Most members are one key.
        const bool byPath = path.empty() || path.find('/') != std::string_view::npos;
        const size_t keys = byPath ? keysAtMost(path, keysLeft) : 1;
        if (keys > keysLeft) return false;
        deepest = std::max(deepest, keys);
        FCacheNodeReader::Sharing::Place* place = merges ? &merges->at(0, position++) : nullptr;
        FNodePtr node = parser.node(1, place);
        if (!node) return false;
        // Sibling rows mostly merge the same keys, and keys from one place
        // let their trees share one key block.
        row.mergeByPath |= byPath;
        if (place) {
            row.merge.emplace_back(place->key(path), FImmutableTree<FNodePtr>(std::move(node)));
            row.mergeInKeyOrder = row.mergeInKeyOrder && place->keyInByteOrder();
        } else {
            row.merge.emplace_back(FChildKey(path), FImmutableTree<FNodePtr>(std::move(node)));
            row.mergeInKeyOrder = row.mergeInKeyOrder && FCacheNodeReader::byteOrderIsKeyOrder(path);
        }
        return true;
    });
}

// The path of a row as the cache writes it, which ends it: a plain string
// (no quote, no backslash) after ',"path":'; nothing for any other row.
std::optional<std::string_view> writtenPath(std::string_view text) {
    constexpr std::string_view kBefore = ",\"path\":\"";
    constexpr std::string_view kAfter = "\"}";
    if (text.size() < kBefore.size() + kAfter.size() || text.substr(text.size() - kAfter.size()) != kAfter) return {};
    const size_t end = text.size() - kAfter.size();
    const size_t open = text.rfind('"', end - 1);
    if (open + 1 < kBefore.size() || text.substr(open + 1 - kBefore.size(), kBefore.size()) != kBefore) return {};
    return text.substr(open + 1, end - open - 1);
}

// A row exactly as the cache writes it, {"id":N,"m"|"o":...,"path":"..."}
// without space, read without looking its members up by name. Anything
// else answers false, for the reading by member. The path, last in the
// row, is counted before anything is made.
bool writeRowAsWritten(std::string_view text, FCacheNodeReader::WriteRow& row,
                       FCacheNodeReader::WriteSharing* sharing) {
    const std::optional<std::string_view> written = writtenPath(text);
    if (!written) return false;
    const size_t pathKeys = keysAtMost(*written, kQuorvaneMaxTreeDepth);
    if (pathKeys > kQuorvaneMaxTreeDepth) return false;
    Parser parser(text, sharing ? &sharing->overwrites : nullptr);
    if (!parser.literal("{\"id\":") || !parser.writeId(row.writeId)) return false;
    size_t deepest;
    if (parser.literal(",\"o\":")) {
        if (!(row.overwrite = parser.node(0, nullptr))) return false;
    } else if (!parser.literal(",\"m\":") || parser.peek() != '{' ||
               !mergeMembers(parser, row, sharing, kQuorvaneMaxTreeDepth - pathKeys, deepest)) {
        return false;
    }
    std::string_view path;
    if (!parser.literal(",\"path\":") || !parser.plainString(path) || !parser.literal("}") || !parser.atEnd()) {
        return false;
    }
    row.path = FPath(path);
    return true;
}

}  // namespace

bool FCacheNodeReader::writeRowFromJSON(std::string_view text, WriteRow& row, WriteSharing* sharing) {
    row.overwrite = nullptr;
    row.merge.clear();
    row.mergeByPath = false;
    row.mergeInKeyOrder = true;
    if (writeRowAsWritten(text, row, sharing)) return true;
    row.overwrite = nullptr;
    row.merge.clear();
    row.mergeByPath = false;
    row.mergeInKeyOrder = true;
    Parser parser(text, sharing ? &sharing->overwrites : nullptr);
    bool hasId = false, hasPath = false, hasMerge = false;
    std::string scratch;
    std::string_view path;
    size_t deepest = 0;
    const bool read = parser.members([&](std::string_view key) {
        if (key == "id") return hasId = parser.writeId(row.writeId);
        if (key == "path") {
            return hasPath = parser.peek() == '"' && parser.stringView(path, scratch) &&
                             keysAtMost(path, kQuorvaneMaxTreeDepth) <= kQuorvaneMaxTreeDepth;
        }
        if (key == "o") return (row.overwrite = parser.node(0, nullptr)) != nullptr;
        if (key != "m" || parser.peek() != '{') return false;
        hasMerge = true;
        return mergeMembers(parser, row, sharing, kQuorvaneMaxTreeDepth, deepest);
    });
    if (!read || !parser.atEnd() || !hasId || !hasPath || hasMerge == (row.overwrite != nullptr)) return false;
    if (keysAtMost(path, kQuorvaneMaxTreeDepth) + deepest > kQuorvaneMaxTreeDepth) return false;
    row.path = FPath(path);
    return true;
}

size_t FCacheNodeReader::pathKeyCount(std::string_view path) {
    size_t keys = 0;
    bool inKey = false;
    for (const char c : path) {
        keys += !inKey && c != '/';
        inKey = c != '/';
    }
    return keys;
}

bool FCacheNodeReader::byteOrderIsKeyOrder(std::string_view key) {
    if (key.empty()) return false;
    const char first = key.front();
    if ((first >= '0' && first <= '9') || first == '[') return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return static_cast<unsigned char>(c) > '/' && static_cast<unsigned char>(c) < 0x80;
    });
}

FChildrenDictionary FCacheNodeReader::childrenFrom(std::vector<FChildrenDictionary::Entry>& entries, bool inKeyOrder) {
    const FKeyComparator compare;
    auto less = [&](const FChildrenDictionary::Entry& a, const FChildrenDictionary::Entry& b) {
        return compare(a.first, b.first) < 0;
    };
    // Rows and members come in byte order, which is the key order unless
    // integer keys or characters below "/" are about: a check spares most
    // levels the sort.
    if (!inKeyOrder && !std::is_sorted(entries.begin(), entries.end(), less)) {
        std::sort(entries.begin(), entries.end(), less);
    }
    FChildrenDictionary children = FChildrenDictionary::fromSortedRange(entries.data(), entries.size());
    entries.clear();
    return children;
}

namespace {

// One level's children, ".priority" and ".value".
class Level {
public:
    void add(std::string_view name, FNodePtr node, FCacheNodeReader::Sharing::Place& place) {
        if (!node || name.empty()) return;
        if (name == kPriorityKey) {
            if (isPriorityLeaf(node)) priority_ = std::move(node);
        } else if (name == kValueKey) {
            hasValue_ = true;
            value_ = std::move(node);
        } else if (!node->isEmpty()) {
            entries_.entries().emplace_back(place.key(name), std::move(node));
            inKeyOrder_ = inKeyOrder_ && place.keyInByteOrder();
        }
    }

    FNodePtr finish() {
        if (hasValue_) {
            if (value_->isEmpty()) return value_;
            if (value_->isLeafNode()) return priority_ ? value_->updatePriority(priority_) : value_;
        }
        return FChildrenNode::make(FCacheNodeReader::childrenFrom(entries_.entries(), inKeyOrder_),
                                   std::move(priority_));
    }

private:
    EntryBuffer entries_;
    bool inKeyOrder_ = true;
    FNodePtr priority_;
    FNodePtr value_;
    bool hasValue_ = false;
};

// Length of the common start of two byte strings, eight bytes at a time
// where the first differing byte is the lowest one.
size_t commonPrefixLength(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    for (; std::endian::native == std::endian::little && i + 8 <= n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) return i + size_t(std::countr_zero(x ^ y)) / 8;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// Rows in key order into nodes, bottom up. Each row's key is compared with
// the path so far once; every level then asks only how far it matched.
class RowTree {
public:
    RowTree(APLevelDBIterator& iterator, std::string prefix, size_t prefixKeys, FCacheNodeReader::RowNode rowNode)
        : iterator_(iterator),
          prefix_(std::move(prefix)),
          rowNode_(rowNode),
          deepestBelow_(kDeepestRow - std::min(prefixKeys, kDeepestRow)) {
        load();
    }

    // The node under the path so far (prefix_), at `depth` below the first,
    // made at `place`.
    FNodePtr node(size_t depth, FCacheNodeReader::Sharing::Place& place) {
        const size_t length = prefix_.size();
        FNodePtr own;
        if (valid_ && matched_ == length && key_.size() == length) {
            own = rowNode_(iterator_.rawValue(), place);
            advance();
            if (!valid_ || matched_ < length) return own;
        }
        Level level;
        for (size_t position = 0; valid_ && matched_ >= length;) {
            const size_t slash = key_.find('/', length);
            if (slash == std::string_view::npos) {
                advance();
                continue;
            }
            prefix_.append(key_.substr(length, slash + 1 - length));
            matched_ = prefix_.size();
            if (depth + 1 > deepestBelow_) {
                skipRowsUnderPrefix();
            } else {
                FCacheNodeReader::Sharing::Place& childPlace = sharing_.at(depth, position++);
                FNodePtr child = node(depth + 1, childPlace);
                level.add(std::string_view(prefix_).substr(length, prefix_.size() - length - 1), std::move(child),
                          childPlace);
            }
            prefix_.resize(length);
            matched_ = std::min(matched_, length);
        }
        FNodePtr deeper = level.finish();
        return own && deeper->isEmpty() ? own : deeper;
    }

private:
    // Keys of the deepest row: no row the cache writes lies deeper than a
    // location may, plus the ".value" or ".priority" key of a leaf's
    // priority rows. Deeper rows are damage, skipped like rows without a
    // trailing "/", and the descent makes one call per level, so they are
    // never followed.
    static constexpr size_t kDeepestRow = kQuorvaneMaxTreeDepth + 1;

    void skipRowsUnderPrefix() {
        while (valid_ && matched_ == prefix_.size()) advance();
    }
    void advance() {
        iterator_.next();
        load();
    }
    void load() {
        valid_ = iterator_.valid();
        key_ = valid_ ? iterator_.rawKey() : std::string_view();
        matched_ = commonPrefixLength(key_, prefix_);
    }

    APLevelDBIterator& iterator_;
    std::string prefix_;
    FCacheNodeReader::RowNode rowNode_;
    // Levels a row may lie below the prefix.
    size_t deepestBelow_;
    FCacheNodeReader::Sharing sharing_;
    bool valid_ = false;
    std::string_view key_;
    // How much of prefix_ the current key starts with.
    size_t matched_ = 0;
};

}  // namespace

FNodePtr FCacheNodeReader::nodeFromRows(APLevelDBIterator& iterator, std::string prefix, size_t prefixKeys,
                                        RowNode rowNode) {
    RowTree tree(iterator, std::move(prefix), prefixKeys, rowNode);
    FCacheNodeReader::Sharing::Place top;
    // The path's own row alone, dropped, leaves no data there: the empty
    // node, which every caller can take.
    FNodePtr node = tree.node(0, top);
    return node ? node : FEmptyNode::emptyNode();
}
