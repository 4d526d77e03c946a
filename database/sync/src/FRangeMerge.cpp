#include "database/sync/FRangeMerge.h"

#include <set>

#include "platform/format.h"

namespace {

// A reference to a text never destroyed: it is settled as a key.
const std::string& kPriorityKey = *new std::string(".priority");

struct KeyLess {
    bool operator()(const std::string& a, const std::string& b) const { return FUtilities::compareKey(a, b) < 0; }
};

}  // namespace

FRangeMerge::FRangeMerge(std::optional<FPath> optExclusiveStart, std::optional<FPath> optInclusiveEnd, FNodePtr updates)
    : optExclusiveStart_(std::move(optExclusiveStart)),
      optInclusiveEnd_(std::move(optInclusiveEnd)),
      updates_(updates ? std::move(updates) : FEmptyNode::emptyNode()) {}

FNodePtr FRangeMerge::applyToNode(const FNodePtr& node) const {
    return updateRangeInNode(FPath::empty(), node, updates_);
}

FNodePtr FRangeMerge::updateRangeInNode(const FPath& currentPath, const FNodePtr& node,
                                        const FNodePtr& updateNode) const {
    int startComparison = optExclusiveStart_ ? currentPath.compare(*optExclusiveStart_) : 1;
    int endComparison = optInclusiveEnd_ ? currentPath.compare(*optInclusiveEnd_) : -1;
    bool startInNode = optExclusiveStart_ && currentPath.contains(*optExclusiveStart_);
    bool endInNode = optInclusiveEnd_ && currentPath.contains(*optInclusiveEnd_);
    if (startComparison > 0 && endComparison < 0 && !endInNode) {
        // Wholly within the range.
        return updateNode;
    }
    if (startComparison > 0 && endInNode && updateNode->isLeafNode()) return updateNode;
    if (startComparison > 0 && endComparison == 0) {
        // The end path itself, with children in the update: they lie after
        // the end, so only a leaf here could have been replaced.
        return node->isLeafNode() ? FEmptyNode::emptyNode() : node;
    }
    if (startInNode || endInNode) {
        std::set<std::string, KeyLess> names;
        node->enumerateChildren([&](const std::string& key, const FNodePtr&, bool&) { names.insert(key); });
        updateNode->enumerateChildren([&](const std::string& key, const FNodePtr&, bool&) { names.insert(key); });
        FNodePtr result = node;
        auto settle = [&](const std::string& name) {
            FNodePtr currentChild = node->getImmediateChild(name);
            FNodePtr updatedChild =
                updateRangeInNode(currentPath.childFromString(name), currentChild, updateNode->getImmediateChild(name));
            if (updatedChild != currentChild) result = result->updateImmediateChild(name, updatedChild);
        };
        for (const std::string& name : names) settle(name);
        // The priority last, so that it is settled after the children.
        if (!updateNode->getPriority()->isEmpty() || !node->getPriority()->isEmpty()) settle(kPriorityKey);
        return result;
    }
    return node;
}

std::string FRangeMerge::description() const {
    std::string start = optExclusiveStart_ ? optExclusiveStart_->description() : "(null)";
    std::string end = optInclusiveEnd_ ? optInclusiveEnd_->description() : "(null)";
    return ns::format("RangeMerge (optExclusiveStart = %@, optExclusiveEng = %@, updates = %@)", start, end,
                      updates_->description());
}
