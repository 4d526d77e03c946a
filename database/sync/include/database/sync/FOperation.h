#pragma once
// One change the sync tree applies to its views, with where it came from: an
// overwrite, a merge, the acknowledgement or reversion of a user write, or
// the completion of a listen. Operations are values; each level of the sync
// tree narrows one with operationForChild.

#include <memory>
#include <string>

#include "database/model/FCompoundWrite.h"
#include "database/model/FImmutableTree.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/sync/FQueryParams.h"

enum FOperationType : long {
    FOperationTypeOverwrite = 0,
    FOperationTypeMerge = 1,
    FOperationTypeAckUserWrite = 2,
    FOperationTypeListenComplete = 3,
};

class FOperationSource;
using FOperationSourcePtr = std::shared_ptr<const FOperationSource>;

class FOperationSource {
public:
    FOperationSource(bool fromUser, bool fromServer, FQueryParamsPtr queryParams, bool tagged);

    // The two shared sources.
    static const FOperationSourcePtr& userInstance();
    static const FOperationSourcePtr& serverInstance();
    // A new source on every call.
    static FOperationSourcePtr forServerTaggedQuery(FQueryParamsPtr params);

    bool fromUser() const { return fromUser_; }
    bool fromServer() const { return fromServer_; }
    bool isTagged() const { return tagged_; }
    // nullptr for every untagged source.
    const FQueryParamsPtr& queryParams() const { return queryParams_; }

    std::string description() const;

private:
    bool fromUser_;
    bool fromServer_;
    FQueryParamsPtr queryParams_;
    bool tagged_;
};

class FOperation;
using FOperationPtr = std::shared_ptr<const FOperation>;

class FOperation : public std::enable_shared_from_this<FOperation> {
public:
    virtual ~FOperation() = default;
    // The same change as seen from a child of the location; nullptr when
    // nothing below that child changes (merges only).
    virtual FOperationPtr operationForChild(const std::string& childKey) const = 0;
    virtual const FOperationSourcePtr& source() const = 0;
    virtual FOperationType type() const = 0;
    virtual const FPath& path() const = 0;
    virtual std::string description() const = 0;
};

class FOverwrite final : public FOperation {
public:
    FOverwrite(FOperationSourcePtr source, FPath path, FNodePtr snap);

    FOperationPtr operationForChild(const std::string& childKey) const override;
    const FOperationSourcePtr& source() const override { return source_; }
    FOperationType type() const override { return FOperationTypeOverwrite; }
    const FPath& path() const override { return path_; }
    const FNodePtr& snap() const { return snap_; }
    std::string description() const override;

private:
    FOperationSourcePtr source_;
    FPath path_;
    FNodePtr snap_;
};

class FMerge final : public FOperation {
public:
    FMerge(FOperationSourcePtr source, FPath path, FCompoundWrite children);

    FOperationPtr operationForChild(const std::string& childKey) const override;
    const FOperationSourcePtr& source() const override { return source_; }
    FOperationType type() const override { return FOperationTypeMerge; }
    const FPath& path() const override { return path_; }
    const FCompoundWrite& children() const { return children_; }
    std::string description() const override;

private:
    FOperationSourcePtr source_;
    FPath path_;
    FCompoundWrite children_;
};

// Marks of the locations an acknowledged write touched; only presence counts.
using FAffectedTree = FImmutableTree<bool>;

class FAckUserWrite final : public FOperation {
public:
    FAckUserWrite(FPath path, FAffectedTree affectedTree, bool revert);

    FOperationPtr operationForChild(const std::string& childKey) const override;
    const FOperationSourcePtr& source() const override { return FOperationSource::userInstance(); }
    FOperationType type() const override { return FOperationTypeAckUserWrite; }
    const FPath& path() const override { return path_; }
    const FAffectedTree& affectedTree() const { return affectedTree_; }
    bool revert() const { return revert_; }
    std::string description() const override;

private:
    FPath path_;
    FAffectedTree affectedTree_;
    bool revert_;
};

class FListenComplete final : public FOperation {
public:
    FListenComplete(FOperationSourcePtr source, FPath path);

    FOperationPtr operationForChild(const std::string& childKey) const override;
    const FOperationSourcePtr& source() const override { return source_; }
    FOperationType type() const override { return FOperationTypeListenComplete; }
    const FPath& path() const override { return path_; }
    std::string description() const override;

private:
    FOperationSourcePtr source_;
    FPath path_;
};
