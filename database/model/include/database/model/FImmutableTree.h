#pragma once
// An immutable tree of optional values by path, children in key order.
// Operations return new trees sharing every untouched branch; emptied
// branches are always pruned, so a tree is empty exactly when it holds no
// value anywhere. Keys are child keys, so trees built with the same keys
// share one key block, and nodes take pooled slots: a restore builds a tree
// for each of thousands of merges.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "database/model/FChildKey.h"
#include "database/model/FImmutableSortedDictionary.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/model/FSlotPool.h"
#include "database/model/FUtilities.h"
#include "platform/no_destructor.h"

template <class T>
class FImmutableTree {
public:
    using Children = FImmutableSortedDictionary<FChildKey, FImmutableTree<T>, FKeyComparator>;
    using Predicate = std::function<bool(const T&)>;

    // The empty tree.
    FImmutableTree() = default;
    // initWithValue: and initWithValue:children:
    explicit FImmutableTree(std::optional<T> value) : FImmutableTree(std::move(value), Children()) {}
    FImmutableTree(std::optional<T> value, Children children) {
        if (value || !children.isEmpty()) {
            impl_ = std::allocate_shared<Impl>(FSlotAllocator<Impl>(), std::move(value), std::move(children));
        }
    }
    FImmutableTree(const FImmutableTree&) = default;
    FImmutableTree(FImmutableTree&&) noexcept = default;
    // Copy and move alike: the tree replaced goes through the destructor.
    FImmutableTree& operator=(FImmutableTree other) noexcept {
        impl_.swap(other.impl_);
        return *this;
    }
    ~FImmutableTree() {
        if (impl_ && !impl_->children.isEmpty() && impl_.use_count() == 1) releaseBranches();
    }

    static const FImmutableTree& empty() {
        static const FImmutableTree kEmpty;
        return kEmpty;
    }

    // The root's value.
    const std::optional<T>& value() const { return impl_ ? impl_->value : noValue(); }
    const Children& children() const { return impl_ ? impl_->children : noChildren(); }
    bool isEmpty() const { return !impl_; }

    std::optional<T> valueAtPath(const FPath& path) const {
        const FImmutableTree* t = nodeAt(path);
        return t ? t->value() : std::nullopt;
    }

    // The subtree at the path; the empty tree when there is none.
    FImmutableTree subtreeAtPath(const FPath& path) const {
        const FImmutableTree* t = nodeAt(path);
        return t ? *t : FImmutableTree();
    }

    FImmutableTree setValue(T value, const FPath& path) const {
        return replacedAt(path, [&](const FImmutableTree& at) { return FImmutableTree(std::move(value), at.children()); });
    }

    // This tree itself when the path holds no value.
    FImmutableTree removeValueAtPath(const FPath& path) const {
        const FImmutableTree* at = nodeAt(path);
        if (!at || !at->value()) return *this;
        return replacedAt(path, [](const FImmutableTree& node) { return FImmutableTree(std::nullopt, node.children()); });
    }

    // The subtree at the path replaced by `tree` (the given tree itself for
    // the root path); an empty tree removes the branch.
    FImmutableTree setTree(const FImmutableTree& tree, const FPath& path) const {
        return replacedAt(path, [&](const FImmutableTree&) { return tree; });
    }

    // Every node holding a value, each before its children, children in key
    // order.
    void forEach(const std::function<void(const FPath& path, const T& value)>& block) const {
        forEachWhile([&](const FPath& path, const T& value) {
            block(path, value);
            return true;
        });
    }
    // The same walk, ending after the first call answering NO; answers NO
    // when it ended so.
    bool forEachWhile(const std::function<bool(const FPath& path, const T& value)>& block) const {
        return walkDown([&](const std::vector<std::string>& keys, const T& value) { return block(FPath(keys, 0), value); });
    }

    // The immediate children that hold a value, in key order.
    void forEachChild(const std::function<void(const std::string& key, const T& value)>& block) const {
        children().forEach([&](const std::string& key, const FImmutableTree& child) {
            if (child.value()) block(key, *child.value());
            return true;
        });
    }

    // From the root down to and including the node at the path: the block
    // gets the path so far and each value met, and the walk stops after the
    // first call answering NO.
    void forEachOnPath(const FPath& path, const std::function<bool(const FPath& pathSoFar, const T& value)>& whileBlock) const {
        walkPath(path, [&](const FPath& soFar, const T& v) { return whileBlock(soFar, v); });
    }

    // The same walk; the first non-nullopt block result.
    template <class R>
    std::optional<R> findOnPath(const FPath& path,
                                const std::function<std::optional<R>(const FPath& pathSoFar, const T& value)>& block) const {
        std::optional<R> result;
        walkPath(path, [&](const FPath& soFar, const T& v) {
            result = block(soFar, v);
            return !result.has_value();
        });
        return result;
    }

    std::optional<T> rootMostValueOnPath(const FPath& path) const { return rootMostValueOnPath(path, nullptr); }
    std::optional<T> rootMostValueOnPath(const FPath& path, const Predicate& predicate) const {
        std::optional<T> found;
        walkPath(path, [&](const FPath&, const T& v) {
            if (predicate && !predicate(v)) return true;
            found = v;
            return false;
        });
        return found;
    }

    std::optional<T> leafMostValueOnPath(const FPath& path) const { return leafMostValueOnPath(path, nullptr); }
    std::optional<T> leafMostValueOnPath(const FPath& path, const Predicate& predicate) const {
        std::optional<T> found;
        walkPath(path, [&](const FPath&, const T& v) {
            if (!predicate || predicate(v)) found = v;
            return true;
        });
        return found;
    }

    // The path of the first node on the walk whose value the predicate
    // accepts (any value without a predicate).
    std::optional<FPath> findRootMostMatchingPath(const FPath& path, const Predicate& predicate) const {
        auto found = findRootMostPathAndValue(path, predicate);
        if (!found) return std::nullopt;
        return found->first;
    }
    std::optional<std::pair<FPath, T>> findRootMostPathAndValue(const FPath& path,
                                                                 const Predicate& predicate = nullptr) const {
        std::optional<std::pair<FPath, T>> found;
        walkPath(path, [&](const FPath& soFar, const T& v) {
            if (predicate && !predicate(v)) return true;
            found.emplace(soFar, v);
            return false;
        });
        return found;
    }

    bool containsValueMatching(const Predicate& predicate) const {
        return !walkDown([&](const std::vector<std::string>&, const T& value) { return !predicate(value); });
    }

    // Bottom-up fold: the block gets the path so far, the node's value and
    // the results of its children by key.
    template <class R>
    R foldWithBlock(const std::function<R(const FPath& path, const std::optional<T>& value,
                                          const std::map<std::string, R>& childResults)>& block) const {
        // Each node open on the way down keeps where its children's walk
        // is and their results so far.
        struct Open {
            const FImmutableTree* tree;
            typename Children::Iterator next;
            std::map<std::string, R> results;
        };
        std::vector<Open> open;
        std::vector<std::string> keys;
        open.push_back(Open{this, children().iterator(), {}});
        while (true) {
            Open& top = open.back();
            if (top.next.valid()) {
                const FImmutableTree& child = top.next.value();
                keys.push_back(top.next.key().str());
                top.next.next();
                open.push_back(Open{&child, child.children().iterator(), {}});
                continue;
            }
            R result = block(FPath(keys, 0), top.tree->value(), top.results);
            open.pop_back();
            if (open.empty()) return result;
            open.back().results.emplace(std::move(keys.back()), std::move(result));
            keys.pop_back();
        }
    }

private:
    struct Impl {
        Impl(std::optional<T> v, Children c) : value(std::move(v)), children(std::move(c)) {}
        std::optional<T> value;
        Children children;
    };

    static const std::optional<T>& noValue() {
        static const ns::NoDestructor<std::optional<T>> kNone;
        return *kNone;
    }
    static const Children& noChildren() {
        static const ns::NoDestructor<Children> kNone;
        return *kNone;
    }

    const FImmutableTree* nodeAt(const FPath& path) const {
        const FImmutableTree* t = this;
        for (const std::string& key : path) {
            t = t->children().find(key);
            if (!t) return nullptr;
        }
        return t;
    }

    FImmutableTree withChild(const std::string& key, FImmutableTree child) const {
        Children newChildren = child.isEmpty() ? children().remove(key) : children().insert(key, std::move(child));
        return FImmutableTree(value(), std::move(newChildren));
    }

    template <class F>
    void walkPath(const FPath& path, F&& f) const {
        const FImmutableTree* t = this;
        size_t depth = 0;
        size_t length = path.length();
        while (true) {
            if (t->value()) {
                FPath soFar = depth == length ? path : FPath(std::vector<std::string>(path.begin(), path.begin() + long(depth)), 0);
                if (!f(soFar, *t->value())) return;
            }
            if (depth == length) return;
            t = t->children().find(path.pieceAt(depth));
            if (!t) return;
            ++depth;
        }
    }

    // A tree is as deep as the longest path put in it, and a path has as
    // many keys as the input it was read from: the operations below keep
    // their own stacks, never one call per level.

    // This tree with the node at the path (the empty tree where there is
    // none) replaced by what `change` makes of it, each node above copied
    // with its new child from the bottom up.
    template <class Change>
    FImmutableTree replacedAt(const FPath& path, Change&& change) const {
        // Most paths are short: their nodes are noted without the heap.
        constexpr size_t kNoted = 16;
        const FImmutableTree* noted[kNoted];
        std::vector<const FImmutableTree*> many;
        const size_t length = path.length();
        const FImmutableTree** above = noted;
        if (length > kNoted) {
            many.resize(length);
            above = many.data();
        }
        const FImmutableTree none;
        const FImmutableTree* at = this;
        const std::string* keys = path.begin();
        for (size_t i = 0; i < length; ++i) {
            above[i] = at;
            const FImmutableTree* child = at->children().find(keys[i]);
            at = child ? child : &none;
        }
        FImmutableTree result = change(*at);
        for (size_t i = length; i-- > 0;) result = above[i]->withChild(keys[i], std::move(result));
        return result;
    }

    // Every node holding a value, each before its children, children in key
    // order, with the keys down to it, until `f` answers NO (and then NO).
    template <class F>
    bool walkDown(F&& f) const {
        struct Visit {
            const FImmutableTree* tree;
            size_t depth;
            const std::string* key;
        };
        std::vector<Visit> pending{Visit{this, 0, nullptr}};
        std::vector<std::string> keys;
        while (!pending.empty()) {
            const Visit visit = pending.back();
            pending.pop_back();
            if (visit.key) {
                keys.resize(visit.depth - 1);
                keys.push_back(*visit.key);
            }
            if (visit.tree->value() && !f(keys, *visit.tree->value())) return false;
            visit.tree->children().forEachReverse([&](const std::string& key, const FImmutableTree& child) {
                pending.push_back(Visit{&child, visit.depth + 1, &key});
                return true;
            });
        }
        return true;
    }

    // Lets go of this tree's nodes that no other tree holds, one after the
    // other: each dying node's branches are held here until it is gone, so
    // no node dies inside its parent's destructor.
    void releaseBranches() noexcept {
        std::vector<std::shared_ptr<const Impl>> dying;  // no allocation for a node whose children are leaves
        std::shared_ptr<const Impl> impl = std::move(impl_);
        while (true) {
            if (impl.use_count() == 1) {
                impl->children.forEach([&](const std::string&, const FImmutableTree& child) {
                    if (child.impl_ && !child.impl_->children.isEmpty()) dying.push_back(child.impl_);
                    return true;
                });
            }
            impl.reset();
            if (dying.empty()) return;
            impl = std::move(dying.back());
            dying.pop_back();
        }
    }

    std::shared_ptr<const Impl> impl_;
};
