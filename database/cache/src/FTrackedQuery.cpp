#include "database/cache/FTrackedQuery.h"

#include "platform/error.h"
#include "platform/no_destructor.h"

FTrackedQuery FTrackedQuery::updateLastUse(double lastUse) const {
    return FTrackedQuery(queryId_, query_, lastUse, isActive_, isComplete_);
}

FTrackedQuery FTrackedQuery::setComplete() const { return FTrackedQuery(queryId_, query_, lastUse_, isActive_, true); }

FTrackedQuery FTrackedQuery::setActiveState(bool isActive) const {
    return FTrackedQuery(queryId_, query_, lastUse_, isActive, isComplete_);
}

bool FTrackedQuery::isEqual(const FTrackedQuery& other) const {
    return queryId_ == other.queryId_ && query_ == other.query_ && lastUse_ == other.lastUse_ &&
           isComplete_ == other.isComplete_ && isActive_ == other.isActive_;
}

size_t FTrackedQuery::hash() const {
    size_t h = std::hash<uint64_t>()(queryId_);
    h = h * 31 + size_t(query_.hash());
    h = h * 31 + std::hash<double>()(lastUse_);
    h = h * 31 + (isComplete_ ? 1 : 0);
    h = h * 31 + (isActive_ ? 1 : 0);
    return h;
}

// ---------------------------------------------------------------- prune forest

namespace {
bool isPrune(const bool& value) { return value; }
bool isKeep(const bool& value) { return !value; }
}  // namespace

const FImmutableTree<bool>& FPruneForest::pruneTree() {
    static const ns::NoDestructor<FImmutableTree<bool>> kTree(true);
    return *kTree;
}

const FImmutableTree<bool>& FPruneForest::keepTree() {
    static const ns::NoDestructor<FImmutableTree<bool>> kTree(false);
    return *kTree;
}

const FPruneForest& FPruneForest::empty() {
    static const ns::NoDestructor<FPruneForest> kEmpty(FPruneForest{FImmutableTree<bool>()});
    return *kEmpty;
}

bool FPruneForest::prunesAnything() const { return pruneForest_.containsValueMatching(isPrune); }

bool FPruneForest::shouldPruneUnkeptDescendantsAtPath(const FPath& path) const {
    std::optional<bool> deepest = pruneForest_.leafMostValueOnPath(path);
    return deepest && *deepest;
}

bool FPruneForest::shouldKeepPath(const FPath& path) const {
    std::optional<bool> deepest = pruneForest_.leafMostValueOnPath(path);
    return deepest && !*deepest;
}

bool FPruneForest::affectsPath(const FPath& path) const {
    return pruneForest_.rootMostValueOnPath(path).has_value() || !pruneForest_.subtreeAtPath(path).isEmpty();
}

FPruneForest FPruneForest::child(const std::string& key) const {
    const FImmutableTree<bool>* childTree = pruneForest_.children().find(key);
    if (childTree) {
        if (!childTree->value() && pruneForest_.value()) {
            return FPruneForest(FImmutableTree<bool>(pruneForest_.value(), childTree->children()));
        }
        return FPruneForest(*childTree);
    }
    if (pruneForest_.value()) return FPruneForest(*pruneForest_.value() ? pruneTree() : keepTree());
    return FPruneForest(FImmutableTree<bool>());
}

FPruneForest FPruneForest::childAtPath(const FPath& path) const {
    FPruneForest forest = *this;
    for (const std::string& key : path) forest = forest.child(key);
    return forest;
}

FPruneForest FPruneForest::prunePath(const FPath& path) const {
    if (pruneForest_.rootMostValueOnPath(path, isKeep)) {
        ns::Exception::raise("NSInvalidArgumentException", "Can't prune path that was kept previously!");
    }
    if (pruneForest_.rootMostValueOnPath(path, isPrune)) return *this;
    return FPruneForest(pruneForest_.setTree(pruneTree(), path));
}

FPruneForest FPruneForest::keepPath(const FPath& path) const {
    if (pruneForest_.rootMostValueOnPath(path, isKeep)) return *this;
    return FPruneForest(pruneForest_.setTree(keepTree(), path));
}

FPruneForest FPruneForest::keepAll(const std::set<std::string>& children, const FPath& path) const {
    if (pruneForest_.rootMostValueOnPath(path, isKeep)) return *this;
    return setPruneValue(keepTree(), children, path);
}

FPruneForest FPruneForest::pruneAll(const std::set<std::string>& children, const FPath& path) const {
    if (pruneForest_.rootMostValueOnPath(path, isKeep)) {
        ns::Exception::raise("NSInvalidArgumentException", "Can't prune path that was kept previously!");
    }
    if (pruneForest_.rootMostValueOnPath(path, isPrune)) return *this;
    return setPruneValue(pruneTree(), children, path);
}

FPruneForest FPruneForest::setPruneValue(const FImmutableTree<bool>& pruneValue, const std::set<std::string>& children,
                                         const FPath& path) const {
    FImmutableTree<bool> subtree = pruneForest_.subtreeAtPath(path);
    auto childTrees = subtree.children();
    for (const std::string& key : children) childTrees = childTrees.insert(key, pruneValue);
    return FPruneForest(pruneForest_.setTree(FImmutableTree<bool>(subtree.value(), childTrees), path));
}

void FPruneForest::enumarateKeptNodesUsingBlock(const std::function<void(const FPath& path)>& block) const {
    pruneForest_.forEach([&](const FPath& path, const bool& value) {
        if (!value) block(path);
    });
}
