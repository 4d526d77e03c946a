#include "database/model/FIndexedNode.h"

#include "platform/error.h"

FIndexedNode::FIndexedNode(FNodePtr node, FIndexPtr index) : node_(std::move(node)), index_(std::move(index)) {
    if (!node_) node_ = FEmptyNode::emptyNode();
    if (!index_) index_ = FPriorityIndex::priorityIndex();
}

FIndexedNode::FIndexedNode(FNodePtr node, FIndexPtr index, State state)
    : node_(std::move(node)), index_(std::move(index)), state_(std::move(state)) {}

FIndexedNodePtr FIndexedNode::indexedNodeWithNode(FNodePtr node) {
    return std::make_shared<const FIndexedNode>(std::move(node), FPriorityIndex::priorityIndex());
}

FIndexedNodePtr FIndexedNode::indexedNodeWithNode(FNodePtr node, FIndexPtr index) {
    return std::make_shared<const FIndexedNode>(std::move(node), std::move(index));
}

FIndexedNode::State FIndexedNode::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_.order != Order::NotBuilt) return state_;
    auto* childrenNode = dynamic_cast<const FChildrenNode*>(node_.get());
    bool keyOrder = !childrenNode || index_->isEqual(FKeyIndex::keyIndex());
    std::vector<FNamedNode> named;
    if (!keyOrder) {
        bool anyIndexed = false;
        named.reserve(childrenNode->children().count());
        childrenNode->children().forEach([&](const std::string& key, const FNodePtr& child) {
            anyIndexed = anyIndexed || index_->isDefinedOn(*child);
            named.push_back(FNamedNode{key, child});
            return true;
        });
        keyOrder = !anyIndexed;
    }
    if (keyOrder) {
        state_.order = Order::KeyOrder;
    } else {
        state_.order = Order::Indexed;
        state_.children = std::make_shared<const FIndexedChildren>(
            FIndexedChildren::fromElements(std::move(named), FNamedNodeIndexComparator{index_}));
    }
    return state_;
}

FIndexedNodePtr FIndexedNode::updateChild(const std::string& key, const FNodePtr& child) const {
    if (key == ".priority") return updatePriority(child);
    const FNodePtr& newChild = child ? child : FEmptyNode::emptyNode();
    FNodePtr newNode = node_->updateImmediateChild(key, newChild);
    State current;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current = state_;
    }
    State next;
    if (current.order == Order::KeyOrder) {
        // A first child with a value under the index needs a real order.
        if (!index_->isDefinedOn(*newChild) || index_->isEqual(FKeyIndex::keyIndex())) next.order = Order::KeyOrder;
    } else if (current.order == Order::Indexed) {
        FIndexedChildren set = current.children->remove(FNamedNode{key, node_->getImmediateChild(key)});
        if (!newChild->isEmpty()) set = set.insert(FNamedNode{key, newChild});
        next.order = Order::Indexed;
        next.children = std::make_shared<const FIndexedChildren>(std::move(set));
    }
    return FIndexedNodePtr(new FIndexedNode(std::move(newNode), index_, std::move(next)));
}

FIndexedNodePtr FIndexedNode::updatePriority(const FNodePtr& priority) const {
    State current;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current = state_;
    }
    FNodePtr newNode = node_->updatePriority(priority);
    // The children are unchanged unless the node became empty.
    if (newNode->isEmpty()) current = State{};
    return FIndexedNodePtr(new FIndexedNode(std::move(newNode), index_, std::move(current)));
}

std::optional<FNamedNode> FIndexedNode::firstChild() const {
    auto* childrenNode = dynamic_cast<const FChildrenNode*>(node_.get());
    if (!childrenNode) return std::nullopt;
    State s = state();
    if (s.order == Order::KeyOrder) {
        auto e = childrenNode->children().minEntry();
        if (!e) return std::nullopt;
        return FNamedNode{e->first, e->second};
    }
    const FNamedNode* n = s.children->first();
    if (!n) return std::nullopt;
    return *n;
}

std::optional<FNamedNode> FIndexedNode::lastChild() const {
    auto* childrenNode = dynamic_cast<const FChildrenNode*>(node_.get());
    if (!childrenNode) return std::nullopt;
    State s = state();
    if (s.order == Order::KeyOrder) {
        auto e = childrenNode->children().maxEntry();
        if (!e) return std::nullopt;
        return FNamedNode{e->first, e->second};
    }
    const FNamedNode* n = s.children->last();
    if (!n) return std::nullopt;
    return *n;
}

std::optional<std::string> FIndexedNode::predecessorForChildKey(const std::string& key, const FNodePtr& childNode,
                                                                 const FIndexPtr& index) const {
    if (!index || !index_->isEqual(*index)) {
        throw ns::Exception(ns::kInvalidArgumentException, "Index not available in IndexedNode!");
    }
    auto* childrenNode = dynamic_cast<const FChildrenNode*>(node_.get());
    if (!childrenNode) return std::nullopt;
    State s = state();
    if (s.order == Order::KeyOrder) return childrenNode->predecessorChildKey(key);
    const FNamedNode* p =
        s.children->predecessor(FNamedNode{key, childNode ? childNode : FEmptyNode::emptyNode()});
    if (!p) return std::nullopt;
    return p->name;
}

void FIndexedNode::enumerateChildrenReverse(bool reverse, const FNodeChildBlock& block) const {
    State s = state();
    if (s.order == Order::KeyOrder) {
        node_->enumerateChildrenReverse(reverse, block);
        return;
    }
    auto step = [&](const FNamedNode& n) {
        bool stop = false;
        block(n.name, n.node, stop);
        return !stop;
    };
    if (reverse) {
        s.children->forEachReverse(step);
    } else {
        s.children->forEach(step);
    }
}

FEnumeratorPtr<FNamedNode> FIndexedNode::childEnumerator() const {
    State s = state();
    if (s.order == Order::KeyOrder) return node_->childEnumerator();
    auto it = std::make_shared<FIndexedChildren::Iterator>(s.children->iterator());
    return std::make_shared<FBlockEnumerator<FNamedNode>>([it]() -> std::optional<FNamedNode> {
        if (!it->valid()) return std::nullopt;
        FNamedNode n = it->element();
        it->next();
        return n;
    });
}
