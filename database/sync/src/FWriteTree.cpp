#include "database/sync/FWriteTree.h"

#include <algorithm>

#include "platform/error.h"
#include "platform/format.h"
#include "platform/no_destructor.h"

namespace {

FPath keyPath(const std::string& key) { return FPath(std::vector<std::string>{key}, 0); }

// Every location a record writes: its path for a set, each written path for
// an update.
std::vector<FPath> writtenPaths(const FWriteRecord& record) {
    if (record.isOverwrite()) return {record.path()};
    std::vector<FPath> paths;
    record.compoundWrite().enumerateWrites([&](const FPath& relative, const FNodePtr&, bool&) {
        paths.push_back(record.path().child(relative));
    });
    return paths;
}

bool related(const FPath& a, const FPath& b) { return a.contains(b) || b.contains(a); }

// The first child strictly after the post in direction order, walking the
// node's own index order from that direction's start: the order is the
// index's, so the first child past the post is the nearest one, and for a
// window's edge the walk is about as long as the window.
std::optional<FNamedNode> childAfterPost(const FIndexedNode& indexed, const FNamedNode& post, bool reverse) {
    const FIndexPtr& index = indexed.index();
    std::optional<FNamedNode> found;
    indexed.enumerateChildrenReverse(reverse, [&](const std::string& key, const FNodePtr& child, bool& stop) {
        if (index->compare(key, *child, post.name, *post.node, reverse) > 0) {
            found = FNamedNode{key, child};
            stop = true;
        }
    });
    return found;
}

}  // namespace

// Records.

FWriteRecord::FWriteRecord(FPath path, FNodePtr overwrite, int64_t writeId, bool visible)
    : writeId_(writeId), path_(std::move(path)), overwrite_(std::move(overwrite)), visible_(visible) {
    if (!overwrite_) {
        throw ns::Exception(ns::kInvalidArgumentException,
                            "Can't pass nil as overwrite parameter to an overwrite write record");
    }
}

FWriteRecord::FWriteRecord(FPath path, std::optional<FCompoundWrite> merge, int64_t writeId)
    : writeId_(writeId), path_(std::move(path)), merge_(std::move(merge)), visible_(true) {
    if (!merge_) {
        throw ns::Exception(ns::kInvalidArgumentException, "Can't pass nil as merge parameter to an merge write record");
    }
}

const FNodePtr& FWriteRecord::overwrite() const {
    if (!overwrite_) throw ns::Exception(ns::kInvalidArgumentException, "Can't get overwrite for merge write record!");
    return overwrite_;
}

const FCompoundWrite& FWriteRecord::compoundWrite() const {
    if (!merge_) throw ns::Exception(ns::kInvalidArgumentException, "Can't get merge for overwrite write record!");
    return *merge_;
}

bool FWriteRecord::isEqual(const FWriteRecord& other) const {
    if (this == &other) return true;
    if (writeId_ != other.writeId_ || visible_ != other.visible_ || !path_.isEqual(other.path_)) return false;
    if ((overwrite_ == nullptr) != (other.overwrite_ == nullptr)) return false;
    if (overwrite_ && overwrite_ != other.overwrite_ && !overwrite_->isEqual(*other.overwrite_)) return false;
    if (merge_.has_value() != other.merge_.has_value()) return false;
    return !merge_ || merge_->isEqual(*other.merge_);
}

size_t FWriteRecord::hash() const {
    size_t h = std::hash<int64_t>()(writeId_);
    h = h * 31 + path_.hash();
    h = h * 31 + (overwrite_ ? overwrite_->hash() : 0);
    h = h * 31 + (merge_ ? std::hash<std::string>()(merge_->description()) : 0);
    return h * 31 + (visible_ ? 1231 : 1237);
}

std::string FWriteRecord::description() const {
    if (overwrite_) {
        return ns::format("FWriteRecord { writeId = %lu, path = %@, overwrite = %@, visible = %d }",
                          uint64_t(writeId_), path_.description(), overwrite_->description(), visible_);
    }
    return ns::format("FWriteRecord { writeId = %lu, path = %@, merge = %@ }", uint64_t(writeId_), path_.description(),
                      merge_->description());
}

// Tree.

FWriteTreeRef FWriteTree::childWritesForPath(const FPath& path) { return FWriteTreeRef(path, shared_from_this()); }

void FWriteTree::addOverwriteAtPath(const FPath& path, const FNodePtr& newData, int64_t writeId, bool isVisible) {
    allWrites_.push_back(std::make_shared<const FWriteRecord>(path, newData, writeId, isVisible));
    if (isVisible) {
        // One walk down the path tells whether another visible write is
        // related to it and counts it.
        const bool related = visibleWrittenPaths_.add(path, 1);
        queueAdd(allWrites_.back(), related);
    }
}

void FWriteTree::addMergeAtPath(const FPath& path, const FCompoundWrite& changedChildren, int64_t writeId) {
    allWrites_.push_back(std::make_shared<const FWriteRecord>(path, std::optional<FCompoundWrite>(changedChildren), writeId));
    queueAdd(allWrites_.back(), visibleWriteRelatedTo(*allWrites_.back()));
    indexWrittenPaths(*allWrites_.back(), 1);
}

void FWriteTree::queueAdd(const FWriteRecordPtr& record, bool related) {
    if (relayerPending_) return;
    pendingAdds_[record->writeId()] = pendingBase_ + pending_.size();
    pending_.push_back({record, true, !related, false});
}

void FWriteTree::queueRemoval(const FWriteRecordPtr& record) {
    if (visibleWrittenPaths_.isEmpty()) {
        // Nothing visible is left: nothing is layered.
        layered_ = FCompoundWrite::emptyWrite();
        pending_.clear();
        pendingAdds_.clear();
        relayerPending_ = false;
        cancelledCount_ = 0;
        return;
    }
    if (relayerPending_) return;
    auto add = pendingAdds_.find(record->writeId());
    if (add != pendingAdds_.end()) {
        PendingChange& change = pending_[size_t(add->second - pendingBase_)];
        if (change.record == record && change.isolated) {
            change.cancelled = true;
            ++cancelledCount_;
            pendingAdds_.erase(add);
            dropCancelled();
            return;
        }
    }
    pending_.push_back({record, false, false, false});
    // Changes nobody asks for are made now and then all the same, so the
    // queue stays about as long as the list of writes.
    if (pending_.size() > 2 * allWrites_.size() + 64) layered();
}

void FWriteTree::dropCancelled() {
    while (!pending_.empty() && pending_.front().cancelled) {
        pending_.pop_front();
        ++pendingBase_;
        --cancelledCount_;
    }
    if (cancelledCount_ * 2 <= pending_.size() || pending_.size() < 64) return;
    // Mostly cancelled behind a long-pending write: keep what counts.
    std::deque<PendingChange> kept;
    pendingAdds_.clear();
    for (PendingChange& change : pending_) {
        if (change.cancelled) continue;
        if (change.add) pendingAdds_[change.record->writeId()] = pendingBase_ + kept.size();
        kept.push_back(std::move(change));
    }
    pending_ = std::move(kept);
    cancelledCount_ = 0;
}

void FWriteTree::relayer() {
    relayerPending_ = true;
    pending_.clear();
    pendingAdds_.clear();
    cancelledCount_ = 0;
}

void FWriteTree::apply(const PendingChange& change, FCompoundWrite& layered) {
    const FWriteRecord& record = *change.record;
    if (change.add) {
        layered = record.isOverwrite() ? layered.addWrite(record.overwrite(), record.path())
                                       : layered.addCompoundWrite(record.compoundWrite(), record.path());
    } else if (record.isOverwrite()) {
        layered = layered.removeWriteAtPath(record.path());
    } else {
        record.compoundWrite().enumerateWrites([&](const FPath& relative, const FNodePtr&, bool&) {
            layered = layered.removeWriteAtPath(record.path().child(relative));
        });
    }
}

const FCompoundWrite& FWriteTree::layered() const {
    if (relayerPending_) {
        layered_ = layerTreeFromWrites(allWrites_, defaultFilter(), FPath::empty());
    } else {
        for (const PendingChange& change : pending_) {
            if (!change.cancelled) apply(change, layered_);
        }
    }
    relayerPending_ = false;
    pendingBase_ += pending_.size();
    pending_.clear();
    pendingAdds_.clear();
    cancelledCount_ = 0;
    return layered_;
}

bool FWriteTree::WrittenPaths::add(const FPath& path, int delta) {
    // The delta counts at every place down the path (below, then here at
    // its end); a place left counting nothing goes. On the way, the counts
    // of the other records tell whether one writes above, at or below the
    // path: at the end, those there before an addition or left after a
    // removal.
    std::string& key = key_;
    key.clear();
    const size_t length = path.length();
    bool related = false;
    for (size_t i = 0;; ++i) {
        auto entry = counts_.try_emplace(key).first;
        Counts& counts = entry->second;
        if (i == length) {
            const int others = delta > 0 ? counts.here : counts.here + delta;
            related = related || others > 0 || counts.below > 0;
            counts.here += delta;
        } else {
            related = related || counts.here > 0;
            counts.below += delta;
        }
        if (counts.here + counts.below <= 0) counts_.erase(entry);
        if (i == length) return related;
        key += '/';
        key += path.pieceAt(i);
    }
}

bool FWriteTree::WrittenPaths::reach(const FPath& path, bool below) const {
    // Every place with a write at or below it has an entry, so the walk ends
    // at the first place without one.
    std::string& key = key_;
    key.clear();
    auto entry = counts_.find(key);
    for (const std::string& piece : path) {
        if (entry == counts_.end()) return false;
        if (entry->second.here > 0) return true;
        key += '/';
        key += piece;
        entry = counts_.find(key);
    }
    return entry != counts_.end() && (entry->second.here > 0 || (below && entry->second.below > 0));
}

bool FWriteTree::indexWrittenPaths(const FWriteRecord& record, int delta) {
    // A set writes its own path only: no list of one to make, and the one
    // walk that counts it tells whether another record is related.
    if (record.isOverwrite()) return visibleWrittenPaths_.add(record.path(), delta);
    for (const FPath& written : writtenPaths(record)) visibleWrittenPaths_.add(written, delta);
    return delta < 0 && visibleWriteRelatedTo(record);
}

bool FWriteTree::visibleWriteRelatedTo(const FWriteRecord& record) const {
    // What an update writes lies below its path.
    return visibleWrittenPaths_.relatedTo(record.path());
}

FWriteRecordPtr FWriteTree::writeForId(int64_t writeId) const {
    for (const FWriteRecordPtr& record : allWrites_) {
        if (record->writeId() == writeId) return record;
    }
    return nullptr;
}

bool FWriteTree::removeWriteId(int64_t writeId) {
    auto found = std::find_if(allWrites_.begin(), allWrites_.end(),
                              [&](const FWriteRecordPtr& r) { return r->writeId() == writeId; });
    if (found == allWrites_.end()) return false;
    size_t index = size_t(found - allWrites_.begin());
    FWriteRecordPtr removed = *found;
    allWrites_.erase(found);

    bool visible = removed->visible();
    bool overlaps = false;
    // With no other visible write at, above or below its path or what it
    // wrote, the walk below finds nothing: it stays visible and overlaps
    // nothing.
    if (visible && indexWrittenPaths(*removed, -1)) {
        const std::vector<FPath> removedPaths = writtenPaths(*removed);
        for (size_t j = allWrites_.size(); j-- > 0;) {
            const FWriteRecord& other = *allWrites_[j];
            if (!other.visible()) continue;
            if (j >= index && record(other, removed->path())) {
                visible = false;
                break;
            }
            if (removed->path().contains(other.path())) {
                overlaps = true;
                continue;
            }
            // An older write above the removed one absorbed its data when it
            // was layered (and an update above it may have individual writes
            // that the removed one replaced), so taking the removed paths out
            // would leave the wrong data visible: rebuild instead.
            for (const FPath& written : writtenPaths(other)) {
                if (std::any_of(removedPaths.begin(), removedPaths.end(),
                                [&](const FPath& p) { return related(p, written); })) {
                    overlaps = true;
                    break;
                }
            }
        }
    }
    if (!visible) return false;
    if (overlaps) {
        relayer();
        return true;
    }
    queueRemoval(removed);
    return true;
}

std::vector<FWriteRecordPtr> FWriteTree::removeAllWrites() {
    std::vector<FWriteRecordPtr> all(std::make_move_iterator(allWrites_.begin()),
                                     std::make_move_iterator(allWrites_.end()));
    allWrites_.clear();
    visibleWrittenPaths_.clear();
    layered_ = FCompoundWrite::emptyWrite();
    pending_.clear();
    pendingAdds_.clear();
    relayerPending_ = false;
    cancelledCount_ = 0;
    return all;
}

FNodePtr FWriteTree::shadowingWriteAtPath(const FPath& path) const {
    // The layering holds data only where a visible record writes: with none
    // at or above the path, there is nothing to bring up to date and look at.
    if (!visibleWrittenPaths_.writtenAtOrAbove(path)) return nullptr;
    return layered().completeNodeAtPath(path);
}

FNodePtr FWriteTree::calculateCompleteEventCacheAtPath(const FPath& path, const FNodePtr& completeServerCache,
                                                       const std::optional<std::vector<int64_t>>& excludeWriteIds,
                                                       bool includeHiddenWrites) const {
    if (!excludeWriteIds && !includeHiddenWrites) {
        if (FNodePtr shadowing = layered().completeNodeAtPath(path)) return shadowing;
        FCompoundWrite merge = layered().childCompoundWriteAtPath(path);
        if (merge.isEmpty()) return completeServerCache;
        if (!completeServerCache && !merge.hasCompleteWriteAtPath(FPath::empty())) return nullptr;
        return merge.applyToNode(completeServerCache ? completeServerCache : FEmptyNode::emptyNode());
    }
    FCompoundWrite merge = layered().childCompoundWriteAtPath(path);
    if (!includeHiddenWrites) {
        if (merge.isEmpty()) return completeServerCache;
        if (!completeServerCache && !merge.hasCompleteWriteAtPath(FPath::empty())) return nullptr;
    }
    RecordFilter filter = [&](const FWriteRecord& record) {
        if (!record.visible() && !includeHiddenWrites) return false;
        if (excludeWriteIds && std::find(excludeWriteIds->begin(), excludeWriteIds->end(), record.writeId()) !=
                                   excludeWriteIds->end()) {
            return false;
        }
        return record.path().contains(path) || path.contains(record.path());
    };
    FCompoundWrite layered = layerTreeFromWrites(allWrites_, filter, path);
    return layered.applyToNode(completeServerCache ? completeServerCache : FEmptyNode::emptyNode());
}

FNodePtr FWriteTree::calculateCompleteEventChildrenAtPath(const FPath& path,
                                                          const FNodePtr& completeServerChildren) const {
    if (FNodePtr topLevelSet = layered().completeNodeAtPath(path)) {
        if (topLevelSet->isLeafNode()) return FEmptyNode::emptyNode();
        // Every child, without the location's own priority.
        return topLevelSet->updatePriority(FEmptyNode::emptyNode());
    }
    FCompoundWrite merge = layered().childCompoundWriteAtPath(path);
    // The server's children, without the location's priority, with the
    // writes below each of them applied; then the children the writes fully
    // determine.
    FNodePtr result = completeServerChildren->isLeafNode()
                          ? FEmptyNode::emptyNode()
                          : completeServerChildren->updatePriority(FEmptyNode::emptyNode());
    if (merge.isEmpty()) return result;
    for (const auto& [key, childWrite] : merge.childCompoundWrites()) {
        if (!completeServerChildren->hasChild(key)) continue;
        result = result->updateImmediateChild(key, childWrite.applyToNode(completeServerChildren->getImmediateChild(key)));
    }
    for (const FNamedNode& child : merge.completeChildren()) {
        result = result->updateImmediateChild(child.name, child.node);
    }
    return result;
}

FNodePtr FWriteTree::calculateEventCacheAfterServerOverwriteAtPath(const FPath& path, const FPath& childPath,
                                                                   const FNodePtr&,
                                                                   const FNodePtr& existingServerSnap) const {
    FPath fullPath = path.child(childPath);
    if (layered().completeNodeAtPath(fullPath)) return nullptr;
    FCompoundWrite childMerge = layered().childCompoundWriteAtPath(fullPath);
    FNodePtr serverChild = existingServerSnap->getChild(childPath);
    if (childMerge.isEmpty()) return serverChild;
    return childMerge.applyToNode(serverChild);
}

FNodePtr FWriteTree::calculateCompleteChildAtPath(const FPath& path, const std::string& childKey,
                                                  const FCacheNode& existingServerCache) const {
    FPath childPath = path.childFromString(childKey);
    if (FNodePtr shadowing = layered().completeNodeAtPath(childPath)) return shadowing;
    if (existingServerCache.isCompleteForChild(childKey)) {
        FCompoundWrite childMerge = layered().childCompoundWriteAtPath(childPath);
        return childMerge.applyToNode(existingServerCache.node()->getImmediateChild(childKey));
    }
    return nullptr;
}

std::optional<FNamedNode> FWriteTree::calculateNextNodeAfterPost(const FNamedNode& post, const FPath& path,
                                                                 const FNodePtr& completeServerData, bool reverse,
                                                                 const FIndexPtr& index,
                                                                 const FIndexedNodePtr& indexedServerData) const {
    FCompoundWrite merge = layered().childCompoundWriteAtPath(path);
    FNodePtr toIterate = merge.completeNodeAtPath(FPath::empty());
    if (!toIterate) {
        if (!completeServerData) return std::nullopt;
        if (merge.isEmpty()) {
            // Nothing pending here: the server data is what is searched, and
            // its own order answers at once.
            if (indexedServerData && indexedServerData->node() == completeServerData &&
                indexedServerData->hasIndex(index)) {
                return childAfterPost(*indexedServerData, post, reverse);
            }
            toIterate = completeServerData;
        } else {
            toIterate = merge.applyToNode(completeServerData);
        }
    }
    std::optional<FNamedNode> best;
    toIterate->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
        if (index->compare(key, *child, post.name, *post.node, reverse) <= 0) return;
        if (!best || index->compare(key, *child, best->name, *best->node, reverse) < 0) {
            best = FNamedNode{key, child};
        }
    });
    return best;
}

bool FWriteTree::record(const FWriteRecord& record, const FPath& path) {
    if (record.isOverwrite()) return record.path().contains(path);
    bool found = false;
    record.compoundWrite().enumerateWrites([&](const FPath& relative, const FNodePtr&, bool& stop) {
        if (record.path().child(relative).contains(path)) {
            found = true;
            stop = true;
        }
    });
    return found;
}

void FWriteTree::resetTree() {
    relayer();
    layered();
}

const FWriteTree::RecordFilter& FWriteTree::defaultFilter() {
    static const ns::NoDestructor<RecordFilter> kFilter([](const FWriteRecord& record) { return record.visible(); });
    return *kFilter;
}

FCompoundWrite FWriteTree::layerTreeFromWrites(const std::deque<FWriteRecordPtr>& writes, const RecordFilter& filter,
                                               const FPath& treeRoot) {
    FCompoundWrite compoundWrite = FCompoundWrite::emptyWrite();
    for (const FWriteRecordPtr& record : writes) {
        if (!filter(*record)) continue;
        const FPath& writePath = record->path();
        if (record->isOverwrite()) {
            if (treeRoot.contains(writePath)) {
                compoundWrite = compoundWrite.addWrite(record->overwrite(), FPath::relativePathFrom(treeRoot, writePath));
            } else if (writePath.contains(treeRoot)) {
                compoundWrite = compoundWrite.addWrite(
                    record->overwrite()->getChild(FPath::relativePathFrom(writePath, treeRoot)), FPath::empty());
            }
        } else {
            if (treeRoot.contains(writePath)) {
                compoundWrite = compoundWrite.addCompoundWrite(record->compoundWrite(),
                                                               FPath::relativePathFrom(treeRoot, writePath));
            } else if (writePath.contains(treeRoot)) {
                FPath relative = FPath::relativePathFrom(writePath, treeRoot);
                if (FNodePtr deep = record->compoundWrite().completeNodeAtPath(relative)) {
                    compoundWrite = compoundWrite.addWrite(deep, FPath::empty());
                }
            }
        }
    }
    return compoundWrite;
}

// Handles.

FWriteTreeRef::FWriteTreeRef(FPath path, std::shared_ptr<FWriteTree> writeTree)
    : path_(std::move(path)), writeTree_(std::move(writeTree)) {}

FNodePtr FWriteTreeRef::calculateCompleteEventCacheWithCompleteServerCache(const FNodePtr& completeServerCache) const {
    return writeTree_->calculateCompleteEventCacheAtPath(path_, completeServerCache, std::nullopt, false);
}

FNodePtr FWriteTreeRef::calculateCompleteEventChildrenWithCompleteServerChildren(
    const FNodePtr& completeServerChildren) const {
    return writeTree_->calculateCompleteEventChildrenAtPath(path_, completeServerChildren);
}

FNodePtr FWriteTreeRef::calculateEventCacheAfterServerOverwriteWithChildPath(const FPath& childPath,
                                                                             const FNodePtr& existingEventSnap,
                                                                             const FNodePtr& existingServerSnap) const {
    return writeTree_->calculateEventCacheAfterServerOverwriteAtPath(path_, childPath, existingEventSnap,
                                                                     existingServerSnap);
}

FNodePtr FWriteTreeRef::shadowingWriteAtPath(const FPath& path) const {
    return writeTree_->shadowingWriteAtPath(path_.child(path));
}

std::optional<FNamedNode> FWriteTreeRef::calculateNextNodeAfterPost(const FNamedNode& post,
                                                                    const FNodePtr& completeServerData, bool reverse,
                                                                    const FIndexPtr& index,
                                                                    const FIndexedNodePtr& indexedServerData) const {
    return writeTree_->calculateNextNodeAfterPost(post, path_, completeServerData, reverse, index, indexedServerData);
}

FNodePtr FWriteTreeRef::calculateCompleteChild(const std::string& childKey, const FCacheNode& existingServerCache) const {
    return writeTree_->calculateCompleteChildAtPath(path_, childKey, existingServerCache);
}

FWriteTreeRef FWriteTreeRef::childWriteTreeRef(const std::string& childKey) const {
    return FWriteTreeRef(path_.child(keyPath(childKey)), writeTree_);
}
