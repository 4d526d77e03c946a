#pragma once
// What happened to one view during one operation: a child entered, left,
// changed or moved, or the whole value changed. The event generator turns
// these into events for the view's registrations.

#include <optional>
#include <string>
#include <vector>

#include "database/model/FIndexedNode.h"

// The event types shared by changes, events and the public observe calls.
enum QRVDataEventType : long {
    QRVDataEventTypeChildAdded = 0,
    QRVDataEventTypeChildRemoved = 1,
    QRVDataEventTypeChildChanged = 2,
    QRVDataEventTypeChildMoved = 3,
    QRVDataEventTypeValue = 4,
};

class FChange {
public:
    FChange(QRVDataEventType type, FIndexedNodePtr indexedNode);
    FChange(QRVDataEventType type, FIndexedNodePtr indexedNode, std::string childKey);
    FChange(QRVDataEventType type, FIndexedNodePtr indexedNode, std::optional<std::string> childKey,
            FIndexedNodePtr oldIndexedNode);

    // The same change with the previous sibling's key set (nullopt when the
    // child is first).
    FChange changeWithPrevKey(std::optional<std::string> prevKey) const;

    QRVDataEventType type() const { return type_; }
    // The child's new node, or the whole event cache for a value change.
    const FIndexedNodePtr& indexedNode() const { return indexedNode_; }
    // Absent for a value change.
    const std::optional<std::string>& childKey() const { return childKey_; }
    const std::optional<std::string>& prevKey() const { return prevKey_; }
    // The child's previous node (child-changed changes); nullptr otherwise.
    const FIndexedNodePtr& oldIndexedNode() const { return oldIndexedNode_; }

    // "event: %d, data: %@"
    std::string description() const;

private:
    QRVDataEventType type_;
    FIndexedNodePtr indexedNode_;
    std::optional<std::string> childKey_;
    std::optional<std::string> prevKey_;
    FIndexedNodePtr oldIndexedNode_;
};

using FChangeList = std::vector<FChange>;
