#pragma once
// A location in the database tree: an immutable list of keys, compared and
// hashed by value. Copies share their pieces, so popFront is cheap. The keys
// and their counts lie in one block, a pooled slot for up to four keys, so
// making a path costs no heap allocation when its keys are up to 15 bytes
// (they lie in the strings themselves): a restore makes one per write.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Deepest a location lies in a database, counting the keys of its path and
// the nesting of the data written there: the deepest data a client writes
// (kQuorvaneMaxObjectDepth, 1000 levels) under a path of 32 keys. A server
// refuses anything deeper, so a write whose path alone has more keys can
// never be acknowledged, and a reader of stored writes refuses it.
inline constexpr size_t kQuorvaneMaxTreeDepth = 1032;

class FPath {
public:
    // The root path.
    FPath();
    // The string split on "/", empty pieces dropped.
    explicit FPath(std::string_view path);
    // The keys from `pieceNum` on.
    FPath(std::vector<std::string> pieces, size_t pieceNum);
    FPath(const FPath& other) noexcept : pieces_(other.pieces_), start_(other.start_) { retain(pieces_); }
    FPath(FPath&& other) noexcept : pieces_(other.pieces_), start_(other.start_) {
        other.pieces_ = nullptr;
        other.start_ = 0;
    }
    FPath& operator=(const FPath& other) noexcept {
        retain(other.pieces_);
        release(pieces_);
        pieces_ = other.pieces_;
        start_ = other.start_;
        return *this;
    }
    FPath& operator=(FPath&& other) noexcept {
        if (this != &other) {
            release(pieces_);
            pieces_ = std::exchange(other.pieces_, nullptr);
            start_ = std::exchange(other.start_, 0);
        }
        return *this;
    }
    ~FPath() { release(pieces_); }

    static FPath pathWithString(std::string_view path) { return FPath(path); }
    static const FPath& empty();

    bool isEmpty() const { return start_ >= size(); }
    size_t length() const { return isEmpty() ? 0 : size() - start_; }

    // First / last key; nullopt for the root.
    std::optional<std::string> getFront() const;
    std::optional<std::string> getBack() const;
    // The key at `index` (0 is the front); raises NSRangeException outside.
    const std::string& pieceAt(size_t index) const;

    // Without the first key (the root stays the root).
    FPath popFront() const;
    // Without the last key; nullopt for the root.
    std::optional<FPath> parent() const;

    FPath child(const FPath& childPath) const;
    FPath childFromString(std::string_view childPath) const;

    // YES when this path equals `other` or is one of its ancestors.
    bool contains(const FPath& other) const;

    // Key by key under key order; a path sorts before its descendants.
    int compare(const FPath& other) const;

    // `inner` relative to `outer`; raises "QuorvaneDatabaseInternalError" when
    // `outer` does not contain `inner`.
    static FPath relativePathFrom(const FPath& outer, const FPath& inner);

    // "/a/b", "/" for the root.
    std::string toString() const;
    std::string description() const { return toString(); }
    // "/a/b/", "/" for the root.
    std::string toStringWithTrailingSlash() const;
    // "a/b", "/" for the root.
    std::string wireFormat() const;

    bool isEqual(const FPath& other) const;
    size_t hash() const;

    friend bool operator==(const FPath& a, const FPath& b) { return a.isEqual(b); }
    friend bool operator<(const FPath& a, const FPath& b) { return a.compare(b) < 0; }

    // The keys, front first.
    const std::string* begin() const;
    const std::string* end() const;

private:
    // The shared block: a count of references, of the keys made and of
    // those it has room for, then the keys.
    struct alignas(std::string) Pieces {
        std::atomic<uint32_t> refs;
        uint32_t count;
        uint32_t capacity;
        std::string* keys() { return reinterpret_cast<std::string*>(this + 1); }
    };
    // A block for `count` keys (at least one), holding one reference, its
    // keys not yet made.
    static Pieces* allocate(size_t count);
    static void retain(Pieces* pieces) {
        if (pieces) pieces->refs.fetch_add(1, std::memory_order_relaxed);
    }
    static void release(Pieces* pieces) {
        if (pieces && pieces->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(pieces);
    }
    static void destroy(Pieces* pieces);
    // The block of the keys from `first` to `last`.
    template <class It>
    static Pieces* copyOf(It first, It last);

    size_t size() const { return pieces_ ? pieces_->count : 0; }
    Pieces* pieces_ = nullptr;
    size_t start_ = 0;
};

template <>
struct std::hash<FPath> {
    size_t operator()(const FPath& p) const { return p.hash(); }
};
