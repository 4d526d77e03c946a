#include "database/api/QRVDataSnapshot.h"

#include "database/api/QRVDatabaseReference.h"
#include "database/model/FValidation.h"
#include "platform/format.h"

QRVDataSnapshot::QRVDataSnapshot(QRVDatabaseReferencePtr ref, FIndexedNodePtr node)
    : ref_(std::move(ref)), node_(std::move(node)) {}

ns::Value QRVDataSnapshot::value() const { return node_->node()->val(); }

ns::Value QRVDataSnapshot::valueInExportFormat() const { return node_->node()->valForExport(true); }

ns::Value QRVDataSnapshot::priority() const { return node_->node()->getPriority()->val(); }

bool QRVDataSnapshot::exists() const { return !node_->node()->isEmpty(); }

bool QRVDataSnapshot::hasChildren() const {
    const FNodePtr& node = node_->node();
    return !node->isLeafNode() && !node->isEmpty();
}

size_t QRVDataSnapshot::childrenCount() const { return size_t(node_->node()->numChildren()); }

bool QRVDataSnapshot::hasChild(const std::string& childPathString) const {
    FValidation::validatePathString("hasChild:", childPathString);
    return !node_->node()->getChild(FPath(childPathString))->isEmpty();
}

std::shared_ptr<QRVDataSnapshot> QRVDataSnapshot::childSnapshotForPath(const std::string& childPathString) const {
    FValidation::validatePathString("child:", childPathString);
    FNodePtr child = node_->node()->getChild(FPath(childPathString));
    return std::make_shared<QRVDataSnapshot>(ref_->child(childPathString), FIndexedNode::indexedNodeWithNode(child));
}

std::optional<std::string> QRVDataSnapshot::key() const { return ref_->key(); }

FEnumeratorPtr<std::shared_ptr<QRVDataSnapshot>> QRVDataSnapshot::children() const {
    QRVDatabaseReferencePtr ref = ref_;
    return std::make_shared<FTransformedEnumerator<FNamedNode, std::shared_ptr<QRVDataSnapshot>>>(
        node_->childEnumerator(), [ref](const FNamedNode& child) {
            return std::make_shared<QRVDataSnapshot>(ref->child(child.name),
                                                     FIndexedNode::indexedNodeWithNode(child.node));
        });
}

std::string QRVDataSnapshot::description() const {
    std::optional<std::string> k = key();
    if (!k) return ns::format("Snap (%@) %@", nullptr, node_->node());
    return ns::format("Snap (%@) %@", *k, node_->node());
}
