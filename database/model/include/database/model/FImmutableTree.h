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

#include "database/model/FChildKey.h"
#include "database/model/FImmutableSortedDictionary.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/model/FSlotPool.h"
#include "database/model/FUtilities.h"

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
        if (path.isEmpty()) return FImmutableTree(std::move(value), children());
        const std::string& front = path.pieceAt(0);
        const FImmutableTree* child = children().find(front);
        FImmutableTree newChild = (child ? *child : FImmutableTree()).setValue(std::move(value), path.popFront());
        return FImmutableTree(this->value(), children().insert(front, std::move(newChild)));
    }

    FImmutableTree removeValueAtPath(const FPath& path) const {
        if (path.isEmpty()) return FImmutableTree(std::nullopt, children());
        const std::string& front = path.pieceAt(0);
        const FImmutableTree* child = children().find(front);
        if (!child) return *this;
        FImmutableTree newChild = child->removeValueAtPath(path.popFront());
        return withChild(front, std::move(newChild));
    }

    // The subtree at the path replaced by `tree` (the given tree itself for
    // the root path); an empty tree removes the branch.
    FImmutableTree setTree(const FImmutableTree& tree, const FPath& path) const {
        if (path.isEmpty()) return tree;
        const std::string& front = path.pieceAt(0);
        const FImmutableTree* child = children().find(front);
        FImmutableTree newChild = (child ? *child : FImmutableTree()).setTree(tree, path.popFront());
        return withChild(front, std::move(newChild));
    }

    // Every node holding a value, each before its children, children in key
    // order.
    void forEach(const std::function<void(const FPath& path, const T& value)>& block) const {
        forEachFrom(FPath::empty(), block);
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
        if (value() && predicate(*value())) return true;
        return !children().forEach(
            [&](const std::string&, const FImmutableTree& child) { return !child.containsValueMatching(predicate); });
    }

    // Bottom-up fold: the block gets the path so far, the node's value and
    // the results of its children by key.
    template <class R>
    R foldWithBlock(const std::function<R(const FPath& path, const std::optional<T>& value,
                                          const std::map<std::string, R>& childResults)>& block) const {
        return foldFrom<R>(FPath::empty(), block);
    }

private:
    struct Impl {
        Impl(std::optional<T> v, Children c) : value(std::move(v)), children(std::move(c)) {}
        std::optional<T> value;
        Children children;
    };

    static const std::optional<T>& noValue() {
        static const std::optional<T> kNone;
        return kNone;
    }
    static const Children& noChildren() {
        static const Children kNone;
        return kNone;
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

    void forEachFrom(const FPath& soFar, const std::function<void(const FPath&, const T&)>& block) const {
        if (value()) block(soFar, *value());
        children().forEach([&](const std::string& key, const FImmutableTree& child) {
            child.forEachFrom(soFar.child(FPath(std::vector<std::string>{key}, 0)), block);
            return true;
        });
    }

    template <class R>
    R foldFrom(const FPath& soFar,
               const std::function<R(const FPath&, const std::optional<T>&, const std::map<std::string, R>&)>& block) const {
        std::map<std::string, R> results;
        children().forEach([&](const std::string& key, const FImmutableTree& child) {
            results.emplace(key, child.foldFrom<R>(soFar.child(FPath(std::vector<std::string>{key}, 0)), block));
            return true;
        });
        return block(soFar, value(), results);
    }

    std::shared_ptr<const Impl> impl_;
};
