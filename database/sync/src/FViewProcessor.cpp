#include "database/sync/FViewProcessor.h"

#include "platform/error.h"
#include "platform/format.h"

namespace {

constexpr std::string_view kPriorityKey = ".priority";

FPath keyPath(const std::string& key) { return FPath(std::vector<std::string>{key}, 0); }

}  // namespace

// Complete-child source over the writes.

FWriteTreeCompleteChildSource::FWriteTreeCompleteChildSource(const FWriteTreeRef& writes, const FViewCache& viewCache,
                                                             FNodePtr optCompleteServerCache)
    : writes_(writes), viewCache_(viewCache), optCompleteServerCache_(std::move(optCompleteServerCache)) {}

FNodePtr FWriteTreeCompleteChildSource::completeChild(const std::string& childKey) const {
    const FCacheNode& eventCache = viewCache_.cachedEventSnap();
    if (eventCache.isCompleteForChild(childKey)) return eventCache.node()->getImmediateChild(childKey);
    if (optCompleteServerCache_) {
        FCacheNode serverNode(FIndexedNode::indexedNodeWithNode(optCompleteServerCache_, FKeyIndex::keyIndex()), true,
                              false);
        return writes_.calculateCompleteChild(childKey, serverNode);
    }
    return writes_.calculateCompleteChild(childKey, viewCache_.cachedServerSnap());
}

std::optional<FNamedNode> FWriteTreeCompleteChildSource::childByIndex(const FIndexPtr& index, const FNamedNode& post,
                                                                      bool reverse) const {
    FNodePtr completeServerData = optCompleteServerCache_ ? optCompleteServerCache_ : viewCache_.completeServerSnap();
    // The view's own server cache carries an order under the view's index;
    // when it is the data searched, the search uses it.
    const FIndexedNodePtr& ownServer = viewCache_.cachedServerSnap().indexedNode();
    FIndexedNodePtr hint = ownServer->node() == completeServerData ? ownServer : nullptr;
    return writes_.calculateNextNodeAfterPost(post, completeServerData, reverse, index, hint);
}

// Processor.

FViewProcessor::FViewProcessor(FNodeFilterPtr filter) : filter_(std::move(filter)) {}

FViewProcessorResult FViewProcessor::applyOperationOn(const FViewCache& oldViewCache, const FOperation& operation,
                                                      const FWriteTreeRef& writesCache,
                                                      const FNodePtr& completeCache, bool childChangesWanted) const {
    FChildChangeAccumulator accumulator(childChangesWanted);
    std::optional<FViewCache> newViewCache;
    switch (operation.type()) {
        case FOperationTypeOverwrite: {
            const auto& overwrite = static_cast<const FOverwrite&>(operation);
            if (overwrite.source()->fromUser()) {
                newViewCache = applyUserOverwriteTo(oldViewCache, overwrite.path(), overwrite.snap(), writesCache,
                                                    completeCache, accumulator);
            } else {
                bool filterServerNode = overwrite.source()->isTagged() ||
                                        (oldViewCache.cachedServerSnap().isFiltered() && !overwrite.path().isEmpty());
                newViewCache = applyServerOverwriteTo(oldViewCache, overwrite.path(), overwrite.snap(), writesCache,
                                                      completeCache, filterServerNode, accumulator);
            }
            break;
        }
        case FOperationTypeMerge: {
            const auto& merge = static_cast<const FMerge&>(operation);
            if (merge.source()->fromUser()) {
                newViewCache = applyUserMergeTo(oldViewCache, merge.path(), merge.children(), writesCache,
                                                completeCache, accumulator);
            } else {
                bool filterServerNode = merge.source()->isTagged() || oldViewCache.cachedServerSnap().isFiltered();
                newViewCache = applyServerMergeTo(oldViewCache, merge.path(), merge.children(), writesCache,
                                                  completeCache, filterServerNode, accumulator);
            }
            break;
        }
        case FOperationTypeAckUserWrite: {
            const auto& ack = static_cast<const FAckUserWrite&>(operation);
            if (ack.revert()) {
                newViewCache = revertUserWriteOn(oldViewCache, ack.path(), writesCache, completeCache, accumulator);
            } else {
                newViewCache = ackUserWriteOn(oldViewCache, ack.path(), ack.affectedTree(), writesCache,
                                              completeCache, accumulator);
            }
            break;
        }
        case FOperationTypeListenComplete:
            newViewCache = listenCompleteOldCache(oldViewCache, operation.path(), writesCache, completeCache,
                                                  accumulator);
            break;
        default:
            ns::Exception::raise(ns::kInternalInconsistencyException,
                                 ns::format("Unknown operation encountered %zd.", long(operation.type())));
    }
    const bool untracked = accumulator.hadUntrackedReplacement();
    FChangeList changes =
        maybeAddValueFromOldViewCache(oldViewCache, *newViewCache, accumulator.takeChanges(), untracked);
    return FViewProcessorResult{std::move(*newViewCache), std::move(changes)};
}

FViewCache FViewProcessor::applyServerOverwriteTo(const FViewCache& oldViewCache, const FPath& changePath,
                                                  const FNodePtr& snap, const FWriteTreeRef& writesCache,
                                                  const FNodePtr& completeCache, bool filterServerNode,
                                                  FChildChangeAccumulator& accumulator) const {
    const FCacheNode& oldServerSnap = oldViewCache.cachedServerSnap();
    const FNodeFilter& serverFilter = filterServerNode ? *filter_ : filter_->indexedFilter();
    FIndexedNodePtr newServerCache;
    if (changePath.isEmpty()) {
        newServerCache = serverFilter.updateFullNode(oldServerSnap.indexedNode(),
                                                     FIndexedNode::indexedNodeWithNode(snap, serverFilter.index()),
                                                     nullptr);
    } else if (serverFilter.filtersNodes() && !oldServerSnap.isFiltered()) {
        // The server side is about to become filtered: filter all of it.
        const std::string& childKey = changePath.pieceAt(0);
        FPath updatePath = changePath.popFront();
        FNodePtr newChild = oldServerSnap.node()->getImmediateChild(childKey)->updateChild(updatePath, snap);
        FIndexedNodePtr newServerNode = oldServerSnap.indexedNode()->updateChild(childKey, newChild);
        newServerCache = serverFilter.updateFullNode(oldServerSnap.indexedNode(), newServerNode, nullptr);
    } else {
        const std::string& childKey = changePath.pieceAt(0);
        if (!oldServerSnap.isCompleteForPath(changePath) && changePath.length() > 1) {
            // A deep write where the server side is incomplete cannot be placed.
            return oldViewCache;
        }
        FPath childChangePath = changePath.popFront();
        FNodePtr childNode = oldServerSnap.node()->getImmediateChild(childKey)->updateChild(childChangePath, snap);
        if (childKey == kPriorityKey) {
            newServerCache = serverFilter.updatePriority(childNode, oldServerSnap.indexedNode());
        } else {
            newServerCache = serverFilter.updateChildIn(oldServerSnap.indexedNode(), childKey, childNode,
                                                        childChangePath, FNoCompleteChildSource::instance(), nullptr);
        }
    }
    FViewCache newViewCache = oldViewCache.updateServerSnap(
        newServerCache, oldServerSnap.isFullyInitialized() || changePath.isEmpty(), serverFilter.filtersNodes());
    FWriteTreeCompleteChildSource source(writesCache, newViewCache, completeCache);
    return generateEventCacheAfterServerEvent(newViewCache, changePath, writesCache, source, accumulator);
}

FViewCache FViewProcessor::generateEventCacheAfterServerEvent(const FViewCache& viewCache, const FPath& changePath,
                                                              const FWriteTreeRef& writesCache,
                                                              const FCompleteChildSource& source,
                                                              FChildChangeAccumulator& accumulator) const {
    const FCacheNode& oldEventSnap = viewCache.cachedEventSnap();
    if (writesCache.shadowingWriteAtPath(changePath)) {
        // The user sees the pending write there, not the server's data.
        return viewCache;
    }
    FIndexedNodePtr newEventCache;
    if (changePath.isEmpty()) {
        FNodePtr newNode;
        if (viewCache.cachedServerSnap().isFiltered()) {
            FNodePtr serverCache = viewCache.completeServerSnap();
            FNodePtr serverChildren = serverCache && !serverCache->isLeafNode() ? serverCache : FEmptyNode::emptyNode();
            newNode = writesCache.calculateCompleteEventChildrenWithCompleteServerChildren(serverChildren);
        } else {
            newNode = writesCache.calculateCompleteEventCacheWithCompleteServerCache(viewCache.completeServerSnap());
        }
        if (!newNode) newNode = FEmptyNode::emptyNode();
        // The same node as the server side under the same index shares its order.
        const FIndexedNodePtr& serverIndexed = viewCache.cachedServerSnap().indexedNode();
        FIndexedNodePtr indexed = serverIndexed->node() == newNode && serverIndexed->hasIndex(filter_->index())
                                      ? serverIndexed
                                      : FIndexedNode::indexedNodeWithNode(newNode, filter_->index());
        newEventCache = filter_->updateFullNode(oldEventSnap.indexedNode(), indexed, &accumulator);
    } else {
        const std::string& childKey = changePath.pieceAt(0);
        if (childKey == kPriorityKey) {
            FNodePtr updatedPriority = writesCache.calculateEventCacheAfterServerOverwriteWithChildPath(
                changePath, oldEventSnap.node(), viewCache.cachedServerSnap().node());
            newEventCache = updatedPriority ? filter_->updatePriority(updatedPriority, oldEventSnap.indexedNode())
                                            : oldEventSnap.indexedNode();
        } else {
            FPath childChangePath = changePath.popFront();
            FNodePtr newEventChild;
            if (oldEventSnap.isCompleteForChild(childKey)) {
                FNodePtr eventChildUpdate = writesCache.calculateEventCacheAfterServerOverwriteWithChildPath(
                    changePath, oldEventSnap.node(), viewCache.cachedServerSnap().node());
                FNodePtr oldChild = oldEventSnap.node()->getImmediateChild(childKey);
                newEventChild = eventChildUpdate ? oldChild->updateChild(childChangePath, eventChildUpdate) : oldChild;
            } else {
                newEventChild = writesCache.calculateCompleteChild(childKey, viewCache.cachedServerSnap());
            }
            newEventCache = newEventChild ? filter_->updateChildIn(oldEventSnap.indexedNode(), childKey, newEventChild,
                                                                   childChangePath, source, &accumulator)
                                          : oldEventSnap.indexedNode();
        }
    }
    return viewCache.updateEventSnap(newEventCache, oldEventSnap.isFullyInitialized() || changePath.isEmpty(),
                                     filter_->filtersNodes());
}

FViewCache FViewProcessor::applyUserOverwriteTo(const FViewCache& oldViewCache, const FPath& changePath,
                                                const FNodePtr& changedSnap, const FWriteTreeRef& writesCache,
                                                const FNodePtr& completeCache,
                                                FChildChangeAccumulator& accumulator) const {
    const FCacheNode& oldEventSnap = oldViewCache.cachedEventSnap();
    FWriteTreeCompleteChildSource source(writesCache, oldViewCache, completeCache);
    if (changePath.isEmpty()) {
        FIndexedNodePtr newIndexed = FIndexedNode::indexedNodeWithNode(changedSnap, filter_->index());
        FIndexedNodePtr newEventCache = filter_->updateFullNode(oldEventSnap.indexedNode(), newIndexed, &accumulator);
        return oldViewCache.updateEventSnap(newEventCache, true, filter_->filtersNodes());
    }
    const std::string& childKey = changePath.pieceAt(0);
    if (childKey == kPriorityKey) {
        FIndexedNodePtr newEventCache = filter_->updatePriority(changedSnap, oldEventSnap.indexedNode());
        return oldViewCache.updateEventSnap(newEventCache, oldEventSnap.isFullyInitialized(),
                                            oldEventSnap.isFiltered());
    }
    FPath childChangePath = changePath.popFront();
    FNodePtr oldChild = oldEventSnap.node()->getImmediateChild(childKey);
    FNodePtr newChild;
    if (childChangePath.isEmpty()) {
        newChild = changedSnap;
    } else if (FNodePtr childNode = source.completeChild(childKey)) {
        std::optional<FPath> parent = childChangePath.parent();
        if (childChangePath.getBack() == kPriorityKey && childNode->getChild(*parent)->isEmpty()) {
            // A priority is never set on a location that does not exist.
            newChild = childNode;
        } else {
            newChild = childNode->updateChild(childChangePath, changedSnap);
        }
    } else {
        newChild = FEmptyNode::emptyNode();
    }
    if (oldChild->isEqual(*newChild)) return oldViewCache;
    FIndexedNodePtr newEventSnap = filter_->updateChildIn(oldEventSnap.indexedNode(), childKey, newChild,
                                                          childChangePath, source, &accumulator);
    return oldViewCache.updateEventSnap(newEventSnap, oldEventSnap.isFullyInitialized(), filter_->filtersNodes());
}

bool FViewProcessor::cache(const FViewCache& viewCache, const std::string& childKey) {
    return viewCache.cachedEventSnap().isCompleteForChild(childKey);
}

FViewCache FViewProcessor::applyUserMergeTo(const FViewCache& oldViewCache, const FPath& path,
                                            const FCompoundWrite& changedChildren, const FWriteTreeRef& writesCache,
                                            const FNodePtr& completeCache,
                                            FChildChangeAccumulator& accumulator) const {
    // Children already in view first: a limited window must see them updated
    // before others try to enter it.
    FViewCache current = oldViewCache;
    for (bool inViewPass : {true, false}) {
        changedChildren.enumerateWrites([&](const FPath& relativePath, const FNodePtr& node, bool&) {
            FPath writePath = path.child(relativePath);
            if (cache(oldViewCache, writePath.getFront().value_or("")) != inViewPass) return;
            current = applyUserOverwriteTo(current, writePath, node, writesCache, completeCache, accumulator);
        });
    }
    return current;
}

FViewCache FViewProcessor::applyServerMergeTo(const FViewCache& oldViewCache, const FPath& path,
                                              const FCompoundWrite& changedChildren, const FWriteTreeRef& writesCache,
                                              const FNodePtr& completeCache, bool filterServerNode,
                                              FChildChangeAccumulator& accumulator) const {
    const FCacheNode& oldServerSnap = oldViewCache.cachedServerSnap();
    if (oldServerSnap.node()->isEmpty() && !oldServerSnap.isFullyInitialized()) return oldViewCache;
    FViewCache current = oldViewCache;
    FCompoundWrite actualMerge =
        path.isEmpty() ? changedChildren : FCompoundWrite::emptyWrite().addCompoundWrite(changedChildren, path);
    const FNodePtr& serverNode = oldServerSnap.node();
    std::map<std::string, FCompoundWrite> childWrites = actualMerge.childCompoundWrites();
    for (const auto& [key, childWrite] : childWrites) {
        if (!serverNode->hasChild(key)) continue;
        FNodePtr newChild = childWrite.applyToNode(serverNode->getImmediateChild(key));
        current = applyServerOverwriteTo(current, keyPath(key), newChild, writesCache, completeCache,
                                         filterServerNode, accumulator);
    }
    for (const auto& [key, childWrite] : childWrites) {
        if (serverNode->hasChild(key)) continue;
        bool isUnknownDeepMerge = !oldServerSnap.isCompleteForChild(key) && !childWrite.rootWrite();
        if (isUnknownDeepMerge) continue;
        FNodePtr newChild = childWrite.applyToNode(serverNode->getImmediateChild(key));
        current = applyServerOverwriteTo(current, keyPath(key), newChild, writesCache, completeCache,
                                         filterServerNode, accumulator);
    }
    return current;
}

FViewCache FViewProcessor::ackUserWriteOn(const FViewCache& oldViewCache, const FPath& ackPath,
                                          const FAffectedTree& affectedTree, const FWriteTreeRef& writesCache,
                                          const FNodePtr& completeCache, FChildChangeAccumulator& accumulator) const {
    if (writesCache.shadowingWriteAtPath(ackPath)) return oldViewCache;
    const FCacheNode& serverCache = oldViewCache.cachedServerSnap();
    bool filterServerNode = serverCache.isFiltered();
    if (affectedTree.value()) {
        if ((ackPath.isEmpty() && serverCache.isFullyInitialized()) || serverCache.isCompleteForPath(ackPath)) {
            return applyServerOverwriteTo(oldViewCache, ackPath, serverCache.node()->getChild(ackPath), writesCache,
                                          completeCache, filterServerNode, accumulator);
        }
        if (ackPath.isEmpty()) {
            FCompoundWrite changedChildren = FCompoundWrite::emptyWrite();
            serverCache.node()->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
                changedChildren = changedChildren.addWrite(child, key);
            });
            return applyServerMergeTo(oldViewCache, ackPath, changedChildren, writesCache, completeCache,
                                      filterServerNode, accumulator);
        }
        return oldViewCache;
    }
    FCompoundWrite changedChildren = FCompoundWrite::emptyWrite();
    affectedTree.forEach([&](const FPath& mergePath, const bool&) {
        FPath serverCachePath = ackPath.child(mergePath);
        if (serverCache.isCompleteForPath(serverCachePath)) {
            changedChildren = changedChildren.addWrite(serverCache.node()->getChild(serverCachePath), mergePath);
        }
    });
    return applyServerMergeTo(oldViewCache, ackPath, changedChildren, writesCache, completeCache, filterServerNode,
                              accumulator);
}

FViewCache FViewProcessor::revertUserWriteOn(const FViewCache& oldViewCache, const FPath& path,
                                             const FWriteTreeRef& writesCache, const FNodePtr& completeCache,
                                             FChildChangeAccumulator& accumulator) const {
    if (writesCache.shadowingWriteAtPath(path)) return oldViewCache;
    FWriteTreeCompleteChildSource source(writesCache, oldViewCache, completeCache);
    const FCacheNode& serverCache = oldViewCache.cachedServerSnap();
    const FIndexedNodePtr& oldEventCache = oldViewCache.cachedEventSnap().indexedNode();
    FIndexedNodePtr newEventCache;
    if (path.isEmpty() || path.pieceAt(0) == kPriorityKey) {
        FNodePtr newNode;
        if (serverCache.isFullyInitialized()) {
            newNode = writesCache.calculateCompleteEventCacheWithCompleteServerCache(oldViewCache.completeServerSnap());
        } else {
            newNode = writesCache.calculateCompleteEventChildrenWithCompleteServerChildren(serverCache.node());
        }
        if (!newNode) newNode = FEmptyNode::emptyNode();
        newEventCache = filter_->updateFullNode(oldEventCache, FIndexedNode::indexedNodeWithNode(newNode, filter_->index()),
                                                &accumulator);
    } else {
        const std::string& childKey = path.pieceAt(0);
        FPath childPath = path.popFront();
        FNodePtr newChild = writesCache.calculateCompleteChild(childKey, serverCache);
        if (!newChild && serverCache.isCompleteForChild(childKey)) {
            newChild = oldEventCache->node()->getImmediateChild(childKey);
        }
        if (newChild) {
            newEventCache = filter_->updateChildIn(oldEventCache, childKey, newChild, childPath, source, &accumulator);
        } else if (oldViewCache.cachedEventSnap().node()->hasChild(childKey)) {
            newEventCache = filter_->updateChildIn(oldEventCache, childKey, FEmptyNode::emptyNode(), childPath, source,
                                                   &accumulator);
        } else {
            newEventCache = oldEventCache;
        }
        if (newEventCache->node()->isEmpty() && serverCache.isFullyInitialized()) {
            FNodePtr complete =
                writesCache.calculateCompleteEventCacheWithCompleteServerCache(oldViewCache.completeServerSnap());
            if (complete && complete->isLeafNode()) {
                newEventCache = filter_->updateFullNode(newEventCache, FIndexedNode::indexedNodeWithNode(complete),
                                                        &accumulator);
            }
        }
    }
    bool complete = serverCache.isFullyInitialized() || writesCache.shadowingWriteAtPath(FPath::empty()) != nullptr;
    return oldViewCache.updateEventSnap(newEventCache, complete, filter_->filtersNodes());
}

FViewCache FViewProcessor::listenCompleteOldCache(const FViewCache& oldViewCache, const FPath& path,
                                                  const FWriteTreeRef& writesCache, const FNodePtr&,
                                                  FChildChangeAccumulator& accumulator) const {
    const FCacheNode& oldServerNode = oldViewCache.cachedServerSnap();
    FViewCache newViewCache = oldViewCache.updateServerSnap(
        oldServerNode.indexedNode(), oldServerNode.isFullyInitialized() || path.isEmpty(), oldServerNode.isFiltered());
    return generateEventCacheAfterServerEvent(newViewCache, path, writesCache, FNoCompleteChildSource::instance(),
                                              accumulator);
}

FChangeList FViewProcessor::maybeAddValueFromOldViewCache(const FViewCache& oldViewCache,
                                                          const FViewCache& newViewCache, FChangeList changes,
                                                          bool untrackedReplacement) {
    const FCacheNode& eventSnap = newViewCache.cachedEventSnap();
    if (!eventSnap.isFullyInitialized()) return changes;
    const FNodePtr& node = eventSnap.node();
    bool add = !oldViewCache.cachedEventSnap().isFullyInitialized();
    if (!add) {
        FNodePtr oldNode = oldViewCache.completeEventSnap();
        if (untrackedReplacement) {
            // Children, priority and leaf value all count, as the tracked
            // changes together with the checks below would.
            add = oldNode != node && !node->isEqual(*oldNode);
        } else {
            bool isLeafOrEmpty = node->isLeafNode() || node->isEmpty();
            add = !changes.empty() || (isLeafOrEmpty && !node->isEqual(*oldNode)) ||
                  !node->getPriority()->isEqual(*oldNode->getPriority());
        }
    }
    if (add) changes.emplace_back(QRVDataEventTypeValue, eventSnap.indexedNode());
    return changes;
}
