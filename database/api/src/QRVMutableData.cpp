#include "database/api/QRVMutableData.h"

#include "database/model/FIndexedNode.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/format.h"

QRVMutableData::QRVMutableData(const FNodePtr& node) : data_(std::make_shared<FSnapshotHolder>()) {
    data_->updateSnapshot(FPath::empty(), node);
}

QRVMutableData::QRVMutableData(FPath prefixPath, std::shared_ptr<FSnapshotHolder> holder)
    : data_(std::move(holder)), prefixPath_(std::move(prefixPath)) {}

QRVMutableDataPtr QRVMutableData::childDataByAppendingPath(const std::string& path) const {
    return std::make_shared<QRVMutableData>(prefixPath_.childFromString(path), data_);
}

QRVMutableDataPtr QRVMutableData::parent() const {
    std::optional<FPath> parentPath = prefixPath_.parent();
    if (!parentPath) return nullptr;
    return std::make_shared<QRVMutableData>(*parentPath, data_);
}

void QRVMutableData::setValue(const ns::Value& value) {
    data_->updateSnapshot(prefixPath_, FSnapshotUtilities::nodeFromWithValidation(value, "setValue:"));
}

ns::Value QRVMutableData::value() const { return nodeValue()->val(); }

void QRVMutableData::setPriority(const ns::Value& priority) {
    FNodePtr node = nodeValue()->updatePriority(FSnapshotUtilities::nodeFrom(priority));
    data_->updateSnapshot(prefixPath_, node);
}

ns::Value QRVMutableData::priority() const { return nodeValue()->getPriority()->val(); }

bool QRVMutableData::hasChildren() const {
    FNodePtr node = nodeValue();
    return !node->isLeafNode() && !node->isEmpty();
}

bool QRVMutableData::hasChildAtPath(const std::string& path) const {
    return !nodeValue()->getChild(FPath(path))->isEmpty();
}

size_t QRVMutableData::childrenCount() const { return size_t(nodeValue()->numChildren()); }

std::optional<std::string> QRVMutableData::key() const { return prefixPath_.getBack(); }

FNodePtr QRVMutableData::nodeValue() const { return data_->getNode(prefixPath_); }

FEnumeratorPtr<QRVMutableDataPtr> QRVMutableData::children() const {
    FPath prefix = prefixPath_;
    std::shared_ptr<FSnapshotHolder> holder = data_;
    return std::make_shared<FTransformedEnumerator<FNamedNode, QRVMutableDataPtr>>(
        FIndexedNode::indexedNodeWithNode(nodeValue())->childEnumerator(), [prefix, holder](const FNamedNode& child) {
            return std::make_shared<QRVMutableData>(prefix.childFromString(child.name), holder);
        });
}

bool QRVMutableData::isEqualToData(const QRVMutableData& other) const {
    return data_ == other.data_ && prefixPath_.toString() == other.prefixPath_.toString();
}

std::string QRVMutableData::description() const {
    std::optional<std::string> k = key();
    if (!k) return ns::format("QRVMutableData (top-most transaction) %@ %@", nullptr, value());
    return ns::format("QRVMutableData (%@) %@", *k, value());
}
