#include "database/sync/FOperation.h"

#include "platform/format.h"

FOperationSource::FOperationSource(bool fromUser, bool fromServer, FQueryParamsPtr queryParams, bool tagged)
    : fromUser_(fromUser), fromServer_(fromServer), queryParams_(std::move(queryParams)), tagged_(tagged) {}

const FOperationSourcePtr& FOperationSource::userInstance() {
    // Never destroyed: the worker queue may still use it while the process exits.
    static const FOperationSourcePtr& kUser =
        *new FOperationSourcePtr(std::make_shared<const FOperationSource>(true, false, nullptr, false));
    return kUser;
}

const FOperationSourcePtr& FOperationSource::serverInstance() {
    // Never destroyed: the worker queue may still use it while the process exits.
    static const FOperationSourcePtr& kServer =
        *new FOperationSourcePtr(std::make_shared<const FOperationSource>(false, true, nullptr, false));
    return kServer;
}

FOperationSourcePtr FOperationSource::forServerTaggedQuery(FQueryParamsPtr params) {
    return std::make_shared<const FOperationSource>(false, true, std::move(params), true);
}

std::string FOperationSource::description() const {
    std::string query = queryParams_ ? queryParams_->description() : "(null)";
    return ns::format("FOperationSource { fromUser=%d, fromServer=%d, queryId=%@, tagged=%d }", fromUser_, fromServer_,
                      query, tagged_);
}

FOverwrite::FOverwrite(FOperationSourcePtr source, FPath path, FNodePtr snap)
    : source_(std::move(source)), path_(std::move(path)), snap_(std::move(snap)) {}

FOperationPtr FOverwrite::operationForChild(const std::string& childKey) const {
    if (path_.isEmpty()) {
        return std::make_shared<const FOverwrite>(source_, FPath::empty(), snap_->getImmediateChild(childKey));
    }
    return std::make_shared<const FOverwrite>(source_, path_.popFront(), snap_);
}

std::string FOverwrite::description() const {
    return ns::format("FOverwrite { path=%@, source=%@, snapshot=%@ }", path_.description(), source_->description(),
                      snap_->description());
}

FMerge::FMerge(FOperationSourcePtr source, FPath path, FCompoundWrite children)
    : source_(std::move(source)), path_(std::move(path)), children_(std::move(children)) {}

FOperationPtr FMerge::operationForChild(const std::string& childKey) const {
    if (path_.isEmpty()) {
        FCompoundWrite childTree = children_.childCompoundWriteAtPath(FPath(std::vector<std::string>{childKey}, 0));
        if (childTree.isEmpty()) return nullptr;
        if (FNodePtr root = childTree.rootWrite()) {
            return std::make_shared<const FOverwrite>(source_, FPath::empty(), root);
        }
        return std::make_shared<const FMerge>(source_, FPath::empty(), std::move(childTree));
    }
    return std::make_shared<const FMerge>(source_, path_.popFront(), children_);
}

std::string FMerge::description() const {
    return ns::format("FMerge { path=%@, soruce=%@ children=%@}", path_.description(), source_->description(),
                      children_.description());
}

FAckUserWrite::FAckUserWrite(FPath path, FAffectedTree affectedTree, bool revert)
    : path_(std::move(path)), affectedTree_(std::move(affectedTree)), revert_(revert) {}

FOperationPtr FAckUserWrite::operationForChild(const std::string& childKey) const {
    if (!path_.isEmpty()) return std::make_shared<const FAckUserWrite>(path_.popFront(), affectedTree_, revert_);
    if (affectedTree_.value()) {
        // The same operation; a copy when no shared pointer owns this one
        // (the sync tree applies purges and acknowledgements made on the
        // stack, and an acknowledgement at the root reaches here).
        if (FOperationPtr self = weak_from_this().lock()) return self;
        return std::make_shared<const FAckUserWrite>(FPath::empty(), affectedTree_, revert_);
    }
    FAffectedTree childTree = affectedTree_.subtreeAtPath(FPath(std::vector<std::string>{childKey}, 0));
    return std::make_shared<const FAckUserWrite>(FPath::empty(), std::move(childTree), revert_);
}

std::string FAckUserWrite::description() const {
    std::string marks = "{";
    bool first = true;
    affectedTree_.forEach([&](const FPath& path, const bool&) {
        marks += (first ? " " : ", ") + path.toString();
        first = false;
    });
    marks += first ? "}" : " }";
    return ns::format("FAckUserWrite { path=%@, revert=%d, affectedTree=%@ }", path_.description(), revert_, marks);
}

FListenComplete::FListenComplete(FOperationSourcePtr source, FPath path)
    : source_(std::move(source)), path_(std::move(path)) {}

FOperationPtr FListenComplete::operationForChild(const std::string&) const {
    if (path_.isEmpty()) return std::make_shared<const FListenComplete>(source_, FPath::empty());
    return std::make_shared<const FListenComplete>(source_, path_.popFront());
}

std::string FListenComplete::description() const {
    return ns::format("FListenComplete { path=%@, source=%@ }", path_.description(), source_->description());
}
