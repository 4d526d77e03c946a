#pragma once
// A location in the database tree: an immutable list of keys, compared and
// hashed by value. Copies share their pieces, so popFront is cheap.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class FPath {
public:
    // The root path.
    FPath();
    // The string split on "/", empty pieces dropped.
    explicit FPath(std::string_view path);
    // The keys from `pieceNum` on.
    FPath(std::vector<std::string> pieces, size_t pieceNum);

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
    size_t size() const { return pieces_ ? pieces_->size() : 0; }
    std::shared_ptr<const std::vector<std::string>> pieces_;
    size_t start_ = 0;
};

template <>
struct std::hash<FPath> {
    size_t operator()(const FPath& p) const { return p.hash(); }
};
