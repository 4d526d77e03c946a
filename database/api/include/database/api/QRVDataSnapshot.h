#pragma once
// The immutable picture of the data at one location that observer blocks
// and transaction completions receive: values, priorities and children read
// out of an indexed node, whose index orders the children. Safe to read from
// any thread once made.

#include <memory>
#include <optional>
#include <string>

#include "database/api/QRVDatabaseQuery.h"
#include "database/model/FEnumerator.h"
#include "database/model/FIndexedNode.h"
#include "platform/value.h"

class QRVDataSnapshot : public ns::Object {
public:
    // initWithRef:indexedNode:
    QRVDataSnapshot(QRVDatabaseReferencePtr ref, FIndexedNodePtr node);

    // The plain value: null, the leaf's value, a dictionary of children or
    // an array when the keys read as a dense enough run of integers.
    // Priorities are left out.
    ns::Value value() const;
    // As value, with ".priority" members and never an array.
    ns::Value valueInExportFormat() const;
    // The plain value of the priority; null when there is none.
    ns::Value priority() const;
    bool exists() const;
    bool hasChildren() const;
    size_t childrenCount() const;
    // Both raise "InvalidPathValidation" for an invalid path string, with the
    // tag "hasChild:" or "child:".
    bool hasChild(const std::string& childPathString) const;
    std::shared_ptr<QRVDataSnapshot> childSnapshotForPath(const std::string& childPathString) const;
    // The reference's key; nullopt at the root.
    std::optional<std::string> key() const;
    // Child snapshots in the order of this snapshot's index; each orders its
    // own children by priority.
    FEnumeratorPtr<std::shared_ptr<QRVDataSnapshot>> children() const;

    const QRVDatabaseReferencePtr& ref() const { return ref_; }
    void setRef(QRVDatabaseReferencePtr ref) { ref_ = std::move(ref); }
    const FIndexedNodePtr& node() const { return node_; }
    void setNode(FIndexedNodePtr node) { node_ = std::move(node); }

    // "Snap (%@) %@": the key and the node.
    std::string description() const override;
    std::string className() const override { return "QRVDataSnapshot"; }

private:
    QRVDatabaseReferencePtr ref_;
    FIndexedNodePtr node_;
};
