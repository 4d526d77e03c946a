#pragma once
// A mutable tree of values by path (transactions and on-disconnect actions).
// Each FTree object is a view of one node with its name and parent; views of
// nodes that hold nothing are made on demand and join the tree only when a
// value is set below them, and leave it when they hold nothing again.
// Confined to the one queue that owns the tree.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/model/FPath.h"
#include "database/model/FUtilities.h"

template <class T>
class FTree : public std::enable_shared_from_this<FTree<T>> {
public:
    using Ptr = std::shared_ptr<FTree<T>>;

    // An empty root.
    static Ptr make() { return Ptr(new FTree(std::string(), nullptr, std::make_shared<Node>())); }

    // The node at the relative path, made when missing.
    Ptr subTree(const FPath& path) {
        Ptr child = this->shared_from_this();
        for (const std::string& key : path) {
            auto it = child->node_->children.find(key);
            std::shared_ptr<Node> childNode = it != child->node_->children.end() ? it->second : std::make_shared<Node>();
            child = Ptr(new FTree(key, child, std::move(childNode)));
        }
        return child;
    }

    const std::optional<T>& getValue() const { return node_->value; }
    void setValue(std::optional<T> value) {
        node_->value = std::move(value);
        updateParents();
    }

    // The key of this node in its parent ("" for the root).
    const std::string& name() const { return name_; }
    const Ptr& parent() const { return parent_; }
    // The path from the root.
    FPath path() const {
        std::vector<std::string> pieces;
        for (const FTree* t = this; t->parent_; t = t->parent_.get()) pieces.push_back(t->name_);
        return FPath(std::vector<std::string>(pieces.rbegin(), pieces.rend()), 0);
    }

    bool isEmpty() const { return !node_->value && node_->children.empty(); }
    bool hasChildren() const { return !node_->children.empty(); }

    // Immediate children in key order.
    void forEachChild(const std::function<void(const Ptr& child)>& block) {
        for (const auto& [key, childNode] : node_->children) block(Ptr(new FTree(key, this->shared_from_this(), childNode)));
    }
    // The same over a copy of the children, so the block may change them.
    void forEachChildMutationSafe(const std::function<void(const Ptr& child)>& block) {
        std::vector<std::pair<std::string, std::shared_ptr<Node>>> copy(node_->children.begin(), node_->children.end());
        for (const auto& [key, childNode] : copy) block(Ptr(new FTree(key, this->shared_from_this(), childNode)));
    }

    // Ancestors, nearest first, self excluded, until the block answers YES;
    // answers whether it was stopped.
    bool forEachAncestor(const std::function<bool(const Ptr& ancestor)>& block) const {
        for (Ptr t = parent_; t; t = t->parent_) {
            if (block(t)) return true;
        }
        return false;
    }

    // Descendants, self excluded, each before its children.
    void forEachDescendant(const std::function<void(const Ptr& descendant)>& block) {
        forEachChild([&](const Ptr& child) {
            block(child);
            child->forEachDescendant(block);
        });
    }

private:
    struct KeyLess {
        bool operator()(const std::string& a, const std::string& b) const { return FUtilities::compareKey(a, b) < 0; }
    };
    struct Node {
        std::map<std::string, std::shared_ptr<Node>, KeyLess> children;
        std::optional<T> value;
    };

    FTree(std::string name, Ptr parent, std::shared_ptr<Node> node)
        : name_(std::move(name)), parent_(std::move(parent)), node_(std::move(node)) {}

    // Links this node into its parent when it holds something, out of it
    // when it holds nothing, and carries the change upwards.
    void updateParents() {
        if (!parent_) return;
        auto& siblings = parent_->node_->children;
        auto it = siblings.find(name_);
        bool present = it != siblings.end() && it->second == node_;
        if (isEmpty() && present) {
            siblings.erase(it);
            parent_->updateParents();
        } else if (!isEmpty() && !present) {
            siblings[name_] = node_;
            parent_->updateParents();
        }
    }

    std::string name_;
    Ptr parent_;
    std::shared_ptr<Node> node_;
};
