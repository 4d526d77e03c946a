#include "database/model/FIndex.h"

#include "database/model/FStringUtilities.h"
#include "platform/error.h"
#include "platform/format.h"

namespace {

// Ranks of the value order.
enum ValueRank { kNull = 0, kFalse = 1, kTrue = 2, kNumber = 3, kString = 4, kChildren = 5, kMax = 6 };

int valueRank(const FNode& n) {
    if (FMaxNode::isMax(n)) return kMax;
    if (n.isEmpty()) return kNull;
    if (!n.isLeafNode()) return kChildren;
    const auto& leaf = static_cast<const FLeafNode&>(n);
    if (leaf.isBool()) return leaf.boolValue() ? kTrue : kFalse;
    if (leaf.isNumber()) return kNumber;
    return kString;
}

// Ranks of the priority order.
enum PriorityRank { kNoPriority = 0, kBoolPriority = 1, kNumberPriority = 2, kStringPriority = 3, kOtherPriority = 4,
                    kMaxPriority = 5 };

int priorityRank(const FNode& p) {
    if (FMaxNode::isMax(p)) return kMaxPriority;
    if (p.isEmpty()) return kNoPriority;
    if (!p.isLeafNode()) return kOtherPriority;
    const auto& leaf = static_cast<const FLeafNode&>(p);
    if (leaf.isBool()) return kBoolPriority;
    if (leaf.isNumber()) return kNumberPriority;
    return kStringPriority;
}

// Order of two leaves of the same rank.
int compareLeafValues(const FNode& a, const FNode& b) {
    const auto& la = static_cast<const FLeafNode&>(a);
    const auto& lb = static_cast<const FLeafNode&>(b);
    if (la.isNumber()) return FLeafNode::compareNumbers(la, lb);
    if (la.isString()) return FStringUtilities::compareUtf16(la.stringValue(), lb.stringValue());
    if (la.isBool()) return int(la.boolValue()) - int(lb.boolValue());
    return 0;
}

int sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

const char kPriorityPostValue[] = "[PRIORITY-POST]";

}  // namespace

int FIndex::compareValues(const FNode& a, const FNode& b) {
    int ra = valueRank(a), rb = valueRank(b);
    if (ra != rb) return ra < rb ? -1 : 1;
    if (ra == kNumber || ra == kString) return sign(compareLeafValues(a, b));
    return 0;
}

int FIndex::comparePriorities(const FNode& a, const FNode& b) {
    int ra = priorityRank(a), rb = priorityRank(b);
    if (ra != rb) return ra < rb ? -1 : 1;
    if (ra == kNumberPriority || ra == kStringPriority || ra == kBoolPriority) return sign(compareLeafValues(a, b));
    return 0;
}

FIndexPtr FIndex::indexFromQueryDefinition(const std::string& definition) {
    if (definition == ".key") return FKeyIndex::keyIndex();
    if (definition == ".value") return FValueIndex::valueIndex();
    if (definition == ".priority") return FPriorityIndex::priorityIndex();
    return FPathIndex::make(FPath(definition));
}

// ----- key index

const FIndexPtr& FKeyIndex::keyIndex() {
    // Never destroyed: see FEmptyNode::emptyNode.
    static const FIndexPtr& kIndex = *new FIndexPtr(std::make_shared<const FKeyIndex>());
    return kIndex;
}

int FKeyIndex::compare(std::string_view key, const FNode&, std::string_view otherKey, const FNode&) const {
    return sign(FUtilities::compareKey(key, otherKey));
}

FNamedNode FKeyIndex::minPost() const { return {FUtilities::minName(), FEmptyNode::emptyNode()}; }

FNamedNode FKeyIndex::maxPost() const { return {FUtilities::maxName(), FEmptyNode::emptyNode()}; }

FNamedNode FKeyIndex::makePost(const FNodePtr& indexValue, const std::string&) const {
    if (!indexValue || !indexValue->isLeafNode() || !static_cast<const FLeafNode&>(*indexValue).isString()) {
        throw ns::Exception(ns::kInvalidArgumentException,
                            ns::format("A key index bound must be a string, not %@",
                                       indexValue ? indexValue->description() : std::string("(null)")));
    }
    return {std::string(static_cast<const FLeafNode&>(*indexValue).stringValue()), FEmptyNode::emptyNode()};
}

bool FKeyIndex::isEqual(const FIndex& other) const { return dynamic_cast<const FKeyIndex*>(&other) != nullptr; }

size_t FKeyIndex::hash() const { return 0x6b6579; }

// ----- priority index

const FIndexPtr& FPriorityIndex::priorityIndex() {
    // Never destroyed: see FEmptyNode::emptyNode.
    static const FIndexPtr& kIndex = *new FIndexPtr(std::make_shared<const FPriorityIndex>());
    return kIndex;
}

int FPriorityIndex::compare(std::string_view key, const FNode& node, std::string_view otherKey,
                            const FNode& otherNode) const {
    int c = comparePriorities(node.priorityNode(), otherNode.priorityNode());
    if (c != 0) return c;
    return sign(FUtilities::compareKey(key, otherKey));
}

bool FPriorityIndex::indexedValueChanged(const FNode& oldNode, const FNode& newNode) const {
    return !oldNode.priorityNode().isEqual(newNode.priorityNode());
}

bool FPriorityIndex::isDefinedOn(const FNode& node) const { return !node.priorityNode().isEmpty(); }

FNamedNode FPriorityIndex::minPost() const { return {FUtilities::minName(), FEmptyNode::emptyNode()}; }

FNamedNode FPriorityIndex::maxPost() const { return {FUtilities::maxName(), FMaxNode::maxNode()}; }

FNamedNode FPriorityIndex::makePost(const FNodePtr& indexValue, const std::string& name) const {
    return {name, FLeafNode::make(ns::Value(kPriorityPostValue), indexValue)};
}

bool FPriorityIndex::isEqual(const FIndex& other) const {
    return dynamic_cast<const FPriorityIndex*>(&other) != nullptr;
}

size_t FPriorityIndex::hash() const { return 0x7072696f; }

// ----- value index

const FIndexPtr& FValueIndex::valueIndex() {
    // Never destroyed: see FEmptyNode::emptyNode.
    static const FIndexPtr& kIndex = *new FIndexPtr(std::make_shared<const FValueIndex>());
    return kIndex;
}

int FValueIndex::compare(std::string_view key, const FNode& node, std::string_view otherKey,
                         const FNode& otherNode) const {
    int c = compareValues(node, otherNode);
    if (c != 0) return c;
    return sign(FUtilities::compareKey(key, otherKey));
}

bool FValueIndex::indexedValueChanged(const FNode& oldNode, const FNode& newNode) const {
    return !oldNode.isEqual(newNode);
}

FNamedNode FValueIndex::minPost() const { return {FUtilities::minName(), FEmptyNode::emptyNode()}; }

FNamedNode FValueIndex::maxPost() const { return {FUtilities::maxName(), FMaxNode::maxNode()}; }

FNamedNode FValueIndex::makePost(const FNodePtr& indexValue, const std::string& name) const {
    return {name, indexValue ? indexValue : FEmptyNode::emptyNode()};
}

bool FValueIndex::isEqual(const FIndex& other) const { return dynamic_cast<const FValueIndex*>(&other) != nullptr; }

size_t FValueIndex::hash() const { return 0x76616c; }

// ----- child-path index

FPathIndex::FPathIndex(FPath path) : path_(std::move(path)) {
    if (path_.isEmpty() || path_.pieceAt(0) == ".priority") {
        throw ns::Exception(ns::kInvalidArgumentException,
                            ns::format("Invalid path for PathIndex: %@", path_.toString()));
    }
}

int FPathIndex::compare(std::string_view key, const FNode& node, std::string_view otherKey,
                        const FNode& otherNode) const {
    int c = compareValues(*node.getChild(path_), *otherNode.getChild(path_));
    if (c != 0) return c;
    return sign(FUtilities::compareKey(key, otherKey));
}

bool FPathIndex::indexedValueChanged(const FNode& oldNode, const FNode& newNode) const {
    return !oldNode.getChild(path_)->isEqual(*newNode.getChild(path_));
}

bool FPathIndex::isDefinedOn(const FNode& node) const { return !node.getChild(path_)->isEmpty(); }

FNamedNode FPathIndex::minPost() const { return {FUtilities::minName(), FEmptyNode::emptyNode()}; }

FNamedNode FPathIndex::maxPost() const { return {FUtilities::maxName(), FMaxNode::maxNode()}; }

FNamedNode FPathIndex::makePost(const FNodePtr& indexValue, const std::string& name) const {
    return {name, FEmptyNode::emptyNode()->updateChild(path_, indexValue ? indexValue : FEmptyNode::emptyNode())};
}

bool FPathIndex::isEqual(const FIndex& other) const {
    auto* p = dynamic_cast<const FPathIndex*>(&other);
    return p && p->path_ == path_;
}

size_t FPathIndex::hash() const { return path_.hash(); }
