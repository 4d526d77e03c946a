#include "database/sync/FServerValues.h"

#include <cmath>

#include "database/model/FSnapshotUtilities.h"

namespace {

FPath keyPath(const std::string& key) { return FPath(std::vector<std::string>{key}, 0); }

// A placeholder is kept in a node as a children node whose one child is ".sv".
bool isPlaceholder(const FNode& node) {
    return !node.isLeafNode() && node.numChildren() == 1 && node.hasChild(kServerValueSubKey);
}

}  // namespace

// Sparse snapshot tree.

FNodePtr FSparseSnapshotTree::findPath(const FPath& path) const {
    if (value_) return value_->getChild(path);
    if (path.isEmpty() || !children_) return nullptr;
    auto found = children_->find(path.pieceAt(0));
    if (found == children_->end()) return nullptr;
    return found->second->findPath(path.popFront());
}

void FSparseSnapshotTree::rememberData(const FNodePtr& data, const FPath& path) {
    if (path.isEmpty()) {
        value_ = data;
        children_.reset();
        return;
    }
    if (value_) {
        value_ = value_->updateChild(path, data);
        return;
    }
    if (!children_) children_ = std::make_unique<std::map<std::string, FSparseSnapshotTreePtr>>();
    FSparseSnapshotTreePtr& child = (*children_)[path.pieceAt(0)];
    if (!child) child = std::make_shared<FSparseSnapshotTree>();
    child->rememberData(data, path.popFront());
}

bool FSparseSnapshotTree::forgetPath(const FPath& path) {
    if (path.isEmpty()) {
        value_.reset();
        children_.reset();
        return true;
    }
    if (!value_) {
        if (!children_) return true;
        const std::string& childKey = path.pieceAt(0);
        auto found = children_->find(childKey);
        if (found != children_->end() && found->second->forgetPath(path.popFront())) children_->erase(found);
        if (children_->empty()) {
            children_.reset();
            return true;
        }
        return false;
    }
    if (value_->isLeafNode()) return false;
    // Split the value into its children, then forget within them.
    FNodePtr value = std::move(value_);
    value_.reset();
    value->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
        rememberData(child, keyPath(key));
    });
    return forgetPath(path);
}

void FSparseSnapshotTree::forEachTreeAtPath(const FPath& prefix,
                                            const std::function<void(const FPath&, const FNodePtr&)>& block) const {
    if (value_) {
        block(prefix, value_);
        return;
    }
    forEachChild([&](const std::string& key, const FSparseSnapshotTree& tree) {
        tree.forEachTreeAtPath(prefix.childFromString(key), block);
    });
}

void FSparseSnapshotTree::forEachChild(
    const std::function<void(const std::string&, const FSparseSnapshotTree&)>& block) const {
    if (!children_) return;
    for (const auto& [key, tree] : *children_) block(key, *tree);
}

// Server values.

ns::Dictionary FServerValues::generateServerValues(const FClock& clock) {
    double millis = clock.currentTime() * 1000;
    return ns::Dictionary{{"timestamp", ns::Value(int64_t(std::trunc(millis)))}};
}

ns::Value FServerValues::resolveDeferredValue(const ns::Value& value, const ns::Dictionary& serverValues) {
    const ns::Dictionary* dict = value.dictionaryOrNull();
    if (!dict) return value;
    auto sv = dict->find(kServerValueSubKey);
    if (sv == dict->end() || !sv->second.isString()) return value;
    auto entry = serverValues.find(sv->second.asString());
    return entry == serverValues.end() ? value : entry->second;
}

FNodePtr FServerValues::resolveDeferredValueSnapshot(const FNodePtr& node, const ns::Dictionary& serverValues) {
    FNodePtr oldPriority = node->getPriority();
    FNodePtr priority = oldPriority;
    if (!oldPriority->isEmpty()) {
        ns::Value priorityValue = oldPriority->val();
        ns::Value resolvedPriority = resolveDeferredValue(priorityValue, serverValues);
        if (!(resolvedPriority == priorityValue)) priority = FSnapshotUtilities::nodeFrom(resolvedPriority);
    }
    bool priorityChanged = !priority->isEqual(*oldPriority);
    if (node->isLeafNode()) {
        if (!priorityChanged) return node;
        return FLeafNode::make(static_cast<const FLeafNode&>(*node).value(), priority);
    }
    if (isPlaceholder(*node)) {
        ns::Value placeholder = node->updatePriority(FEmptyNode::emptyNode())->val();
        ns::Value resolved = resolveDeferredValue(placeholder, serverValues);
        if (!(resolved == placeholder)) return FLeafNode::make(resolved, priority);
    }
    FNodePtr result = priorityChanged ? node->updatePriority(priority) : node;
    node->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
        FNodePtr resolvedChild = resolveDeferredValueSnapshot(child, serverValues);
        if (resolvedChild != child && !resolvedChild->isEqual(*child)) {
            result = result->updateImmediateChild(key, resolvedChild);
        }
    });
    return result;
}

FCompoundWrite FServerValues::resolveDeferredValueCompoundWrite(const FCompoundWrite& write,
                                                                const ns::Dictionary& serverValues) {
    FCompoundWrite resolved = write;
    write.enumerateWrites([&](const FPath& path, const FNodePtr& node, bool&) {
        FNodePtr newNode = resolveDeferredValueSnapshot(node, serverValues);
        if (newNode != node) resolved = resolved.addWrite(newNode, path);
    });
    return resolved;
}

FSparseSnapshotTreePtr FServerValues::resolveDeferredValueTree(const FSparseSnapshotTree& tree,
                                                               const ns::Dictionary& serverValues) {
    auto resolved = std::make_shared<FSparseSnapshotTree>();
    tree.forEachTreeAtPath(FPath::empty(), [&](const FPath& path, const FNodePtr& node) {
        resolved->rememberData(resolveDeferredValueSnapshot(node, serverValues), path);
    });
    return resolved;
}

// Snapshot holder.

FSnapshotHolder::FSnapshotHolder() : rootNode_(FEmptyNode::emptyNode()) {}
