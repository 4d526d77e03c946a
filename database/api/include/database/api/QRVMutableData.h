#pragma once
// The editable picture of the data handed to a transaction's update block.
// Every object derived from one top object (children, parents) reads and
// writes one shared snapshot holder, addressed by its own prefix path, so a
// change made through a child is seen through its parent and the reverse.
// Used only by the thread that runs the update block (the worker queue).

#include <memory>
#include <optional>
#include <string>

#include "database/model/FEnumerator.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/sync/FServerValues.h"
#include "platform/value.h"

class QRVMutableData;
using QRVMutableDataPtr = std::shared_ptr<QRVMutableData>;

class QRVMutableData : public ns::Object {
public:
    // initWithNode: a new holder with the node at its root; the top object.
    explicit QRVMutableData(const FNodePtr& node);
    // initWithPrefixPath:andSnapshotHolder:
    QRVMutableData(FPath prefixPath, std::shared_ptr<FSnapshotHolder> holder);

    // The object for the relative path on the same holder (no validation).
    QRVMutableDataPtr childDataByAppendingPath(const std::string& path) const;
    // nullptr for the top object.
    QRVMutableDataPtr parent() const;

    // Raises the data-validation exceptions with the tag "setValue:"; null
    // deletes the data.
    void setValue(const ns::Value& value);
    ns::Value value() const;
    void setPriority(const ns::Value& priority);
    ns::Value priority() const;
    bool hasChildren() const;
    bool hasChildAtPath(const std::string& path) const;
    size_t childrenCount() const;
    // The last key of the prefix; nullopt for the top object.
    std::optional<std::string> key() const;
    // The node at the prefix, as it is now.
    FNodePtr nodeValue() const;
    // Children in priority order, each on the same holder.
    FEnumeratorPtr<QRVMutableDataPtr> children() const;

    // Same holder object and equal prefixes.
    bool isEqualToData(const QRVMutableData& other) const;

    const std::shared_ptr<FSnapshotHolder>& data() const { return data_; }
    void setData(std::shared_ptr<FSnapshotHolder> data) { data_ = std::move(data); }
    const FPath& prefixPath() const { return prefixPath_; }
    void setPrefixPath(FPath prefixPath) { prefixPath_ = std::move(prefixPath); }

    // "QRVMutableData (%@) %@", or "QRVMutableData (top-most transaction)
    // %@ %@" for the top object.
    std::string description() const override;
    std::string className() const override { return "QRVMutableData"; }

private:
    std::shared_ptr<FSnapshotHolder> data_;
    FPath prefixPath_;
};
