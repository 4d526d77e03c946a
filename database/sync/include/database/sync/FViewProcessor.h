#pragma once
// Applies one operation to one view's cache through the view's filter and
// reports the child changes, plus a value change when the view's value as a
// whole may have changed. The server side tracks what the server sent; the
// event side layers the pending user writes on top.

#include <memory>

#include "database/model/FImmutableTree.h"
#include "database/sync/FChange.h"
#include "database/sync/FNodeFilter.h"
#include "database/sync/FOperation.h"
#include "database/sync/FViewCache.h"
#include "database/sync/FWriteTree.h"

struct FViewProcessorResult {
    FViewCache viewCache;
    FChangeList changes;
};

// Children a filter asks for, answered from the event cache, the pending
// writes, or complete server data known from elsewhere in the sync tree.
class FWriteTreeCompleteChildSource final : public FCompleteChildSource {
public:
    FWriteTreeCompleteChildSource(const FWriteTreeRef& writes, const FViewCache& viewCache,
                                  FNodePtr optCompleteServerCache);

    FNodePtr completeChild(const std::string& childKey) const override;
    std::optional<FNamedNode> childByIndex(const FIndexPtr& index, const FNamedNode& post,
                                           bool reverse) const override;

private:
    const FWriteTreeRef& writes_;
    const FViewCache& viewCache_;
    FNodePtr optCompleteServerCache_;
};

class FViewProcessor {
public:
    explicit FViewProcessor(FNodeFilterPtr filter);

    const FNodeFilterPtr& filter() const { return filter_; }

    // `completeCache` is complete server data at the view's location known
    // from the sync tree, or nullptr. Raises NSInternalInconsistencyException
    // "Unknown operation encountered %zd." for a type outside 0 to 3.
    // Without `childChangesWanted` (a view of all data that only value
    // registrations watch) a whole new node brings no child changes, only
    // the value change when the value differs.
    FViewProcessorResult applyOperationOn(const FViewCache& oldViewCache, const FOperation& operation,
                                          const FWriteTreeRef& writesCache, const FNodePtr& completeCache,
                                          bool childChangesWanted = true) const;

    FViewCache applyServerOverwriteTo(const FViewCache& oldViewCache, const FPath& changePath, const FNodePtr& snap,
                                      const FWriteTreeRef& writesCache, const FNodePtr& completeCache,
                                      bool filterServerNode, FChildChangeAccumulator& accumulator) const;
    FViewCache applyServerMergeTo(const FViewCache& oldViewCache, const FPath& path,
                                  const FCompoundWrite& changedChildren, const FWriteTreeRef& writesCache,
                                  const FNodePtr& completeCache, bool filterServerNode,
                                  FChildChangeAccumulator& accumulator) const;
    FViewCache applyUserOverwriteTo(const FViewCache& oldViewCache, const FPath& changePath,
                                    const FNodePtr& changedSnap, const FWriteTreeRef& writesCache,
                                    const FNodePtr& completeCache, FChildChangeAccumulator& accumulator) const;
    FViewCache applyUserMergeTo(const FViewCache& oldViewCache, const FPath& path,
                                const FCompoundWrite& changedChildren, const FWriteTreeRef& writesCache,
                                const FNodePtr& completeCache, FChildChangeAccumulator& accumulator) const;
    FViewCache ackUserWriteOn(const FViewCache& oldViewCache, const FPath& ackPath, const FAffectedTree& affectedTree,
                              const FWriteTreeRef& writesCache, const FNodePtr& completeCache,
                              FChildChangeAccumulator& accumulator) const;
    FViewCache revertUserWriteOn(const FViewCache& oldViewCache, const FPath& path, const FWriteTreeRef& writesCache,
                                 const FNodePtr& completeCache, FChildChangeAccumulator& accumulator) const;
    FViewCache listenCompleteOldCache(const FViewCache& oldViewCache, const FPath& path,
                                      const FWriteTreeRef& writesCache, const FNodePtr& serverCache,
                                      FChildChangeAccumulator& accumulator) const;
    FViewCache generateEventCacheAfterServerEvent(const FViewCache& viewCache, const FPath& path,
                                                  const FWriteTreeRef& writesCache, const FCompleteChildSource& source,
                                                  FChildChangeAccumulator& accumulator) const;

    // `untrackedReplacement`: the changes may miss children, so the old and
    // new values are compared instead.
    static FChangeList maybeAddValueFromOldViewCache(const FViewCache& oldViewCache, const FViewCache& newViewCache,
                                                     FChangeList changes, bool untrackedReplacement = false);
    // Whether the cache's event side is complete for the key.
    static bool cache(const FViewCache& viewCache, const std::string& childKey);

private:
    FNodeFilterPtr filter_;
};
