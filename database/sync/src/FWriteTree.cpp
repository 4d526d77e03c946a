#include "database/sync/FWriteTree.h"

#include <algorithm>

#include "platform/error.h"
#include "platform/format.h"

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
        visibleWrites_ = visibleWrites_.addWrite(newData, path);
        indexWrittenPaths(*allWrites_.back(), 1);
    }
}

void FWriteTree::addMergeAtPath(const FPath& path, const FCompoundWrite& changedChildren, int64_t writeId) {
    allWrites_.push_back(std::make_shared<const FWriteRecord>(path, std::optional<FCompoundWrite>(changedChildren), writeId));
    visibleWrites_ = visibleWrites_.addCompoundWrite(changedChildren, path);
    indexWrittenPaths(*allWrites_.back(), 1);
}

void FWriteTree::indexWrittenPaths(const FWriteRecord& record, int delta) {
    for (const FPath& written : writtenPaths(record)) {
        auto it = visibleWrittenPaths_.try_emplace(written, 0).first;
        it->second += delta;
        if (it->second <= 0) visibleWrittenPaths_.erase(it);
    }
}

bool FWriteTree::visibleWriteRelatedTo(const std::vector<FPath>& paths) const {
    for (const FPath& path : paths) {
        // At the path or above it.
        FPath ancestor = path;
        while (true) {
            if (visibleWrittenPaths_.count(ancestor)) return true;
            std::optional<FPath> parent = ancestor.parent();
            if (!parent) break;
            ancestor = std::move(*parent);
        }
        // Below it: the first path after it, when it is a descendant.
        auto below = visibleWrittenPaths_.upper_bound(path);
        if (below != visibleWrittenPaths_.end() && path.contains(below->first)) return true;
    }
    return false;
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
    std::vector<FPath> removedPaths;
    if (visible) {
        indexWrittenPaths(*removed, -1);
        removedPaths = writtenPaths(*removed);
    }
    // With no other visible write at, above or below its path or what it
    // wrote, the walk below finds nothing: it stays visible and overlaps
    // nothing.
    auto relatedToOthers = [&] {
        std::vector<FPath> paths = removedPaths;
        paths.push_back(removed->path());
        return visibleWriteRelatedTo(paths);
    };
    if (visible && relatedToOthers()) {
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
        resetTree();
        return true;
    }
    if (removed->isOverwrite()) {
        visibleWrites_ = visibleWrites_.removeWriteAtPath(removed->path());
    } else {
        removed->compoundWrite().enumerateWrites([&](const FPath& relative, const FNodePtr&, bool&) {
            visibleWrites_ = visibleWrites_.removeWriteAtPath(removed->path().child(relative));
        });
    }
    return true;
}

std::vector<FWriteRecordPtr> FWriteTree::removeAllWrites() {
    std::vector<FWriteRecordPtr> all(std::make_move_iterator(allWrites_.begin()),
                                     std::make_move_iterator(allWrites_.end()));
    allWrites_.clear();
    visibleWrittenPaths_.clear();
    visibleWrites_ = FCompoundWrite::emptyWrite();
    return all;
}

FNodePtr FWriteTree::shadowingWriteAtPath(const FPath& path) const { return visibleWrites_.completeNodeAtPath(path); }

FNodePtr FWriteTree::calculateCompleteEventCacheAtPath(const FPath& path, const FNodePtr& completeServerCache,
                                                       const std::optional<std::vector<int64_t>>& excludeWriteIds,
                                                       bool includeHiddenWrites) const {
    if (!excludeWriteIds && !includeHiddenWrites) {
        if (FNodePtr shadowing = visibleWrites_.completeNodeAtPath(path)) return shadowing;
        FCompoundWrite merge = visibleWrites_.childCompoundWriteAtPath(path);
        if (merge.isEmpty()) return completeServerCache;
        if (!completeServerCache && !merge.hasCompleteWriteAtPath(FPath::empty())) return nullptr;
        return merge.applyToNode(completeServerCache ? completeServerCache : FEmptyNode::emptyNode());
    }
    FCompoundWrite merge = visibleWrites_.childCompoundWriteAtPath(path);
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
    if (FNodePtr topLevelSet = visibleWrites_.completeNodeAtPath(path)) {
        if (topLevelSet->isLeafNode()) return FEmptyNode::emptyNode();
        // Every child, without the location's own priority.
        return topLevelSet->updatePriority(FEmptyNode::emptyNode());
    }
    FCompoundWrite merge = visibleWrites_.childCompoundWriteAtPath(path);
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
    if (visibleWrites_.completeNodeAtPath(fullPath)) return nullptr;
    FCompoundWrite childMerge = visibleWrites_.childCompoundWriteAtPath(fullPath);
    FNodePtr serverChild = existingServerSnap->getChild(childPath);
    if (childMerge.isEmpty()) return serverChild;
    return childMerge.applyToNode(serverChild);
}

FNodePtr FWriteTree::calculateCompleteChildAtPath(const FPath& path, const std::string& childKey,
                                                  const FCacheNode& existingServerCache) const {
    FPath childPath = path.childFromString(childKey);
    if (FNodePtr shadowing = visibleWrites_.completeNodeAtPath(childPath)) return shadowing;
    if (existingServerCache.isCompleteForChild(childKey)) {
        FCompoundWrite childMerge = visibleWrites_.childCompoundWriteAtPath(childPath);
        return childMerge.applyToNode(existingServerCache.node()->getImmediateChild(childKey));
    }
    return nullptr;
}

std::optional<FNamedNode> FWriteTree::calculateNextNodeAfterPost(const FNamedNode& post, const FPath& path,
                                                                 const FNodePtr& completeServerData, bool reverse,
                                                                 const FIndexPtr& index,
                                                                 const FIndexedNodePtr& indexedServerData) const {
    FCompoundWrite merge = visibleWrites_.childCompoundWriteAtPath(path);
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

void FWriteTree::resetTree() { visibleWrites_ = layerTreeFromWrites(allWrites_, defaultFilter(), FPath::empty()); }

const FWriteTree::RecordFilter& FWriteTree::defaultFilter() {
    static const RecordFilter kFilter = [](const FWriteRecord& record) { return record.visible(); };
    return kFilter;
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
