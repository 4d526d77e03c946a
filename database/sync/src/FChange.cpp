#include "database/sync/FChange.h"

#include "platform/format.h"

FChange::FChange(QRVDataEventType type, FIndexedNodePtr indexedNode)
    : FChange(type, std::move(indexedNode), std::nullopt, nullptr) {}

FChange::FChange(QRVDataEventType type, FIndexedNodePtr indexedNode, std::string childKey)
    : FChange(type, std::move(indexedNode), std::optional<std::string>(std::move(childKey)), nullptr) {}

FChange::FChange(QRVDataEventType type, FIndexedNodePtr indexedNode, std::optional<std::string> childKey,
                 FIndexedNodePtr oldIndexedNode)
    : type_(type),
      indexedNode_(std::move(indexedNode)),
      childKey_(std::move(childKey)),
      oldIndexedNode_(std::move(oldIndexedNode)) {}

FChange FChange::changeWithPrevKey(std::optional<std::string> prevKey) const {
    FChange copy = *this;
    copy.prevKey_ = std::move(prevKey);
    return copy;
}

std::string FChange::description() const {
    ns::Value value = indexedNode_ ? indexedNode_->node()->val() : ns::Value();
    return ns::format("event: %d, data: %@", long(type_), value);
}
