#pragma once
// The user's pending writes, oldest first, with the visible ones layered in
// one compound write so that the view processor's common questions (what
// the user sees here, which write shadows this location, what is this child)
// never walk the list. The layering is brought up to date when a question
// needs it, so even the const questions change the tree: one caller at a
// time. Views reach the tree through a handle fixed at their own path.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "database/model/FCompoundWrite.h"
#include "database/model/FIndex.h"
#include "database/model/FIndexedNode.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/sync/FViewCache.h"

class FWriteRecord;
using FWriteRecordPtr = std::shared_ptr<const FWriteRecord>;

// One pending write: a set (overwrite) or an update (merge).
class FWriteRecord {
public:
    // A set; a null node raises NSInvalidArgumentException "Can't pass nil as
    // overwrite parameter to an overwrite write record".
    FWriteRecord(FPath path, FNodePtr overwrite, int64_t writeId, bool visible);
    // An update (always visible); an absent compound write raises
    // NSInvalidArgumentException "Can't pass nil as merge parameter to an
    // merge write record".
    FWriteRecord(FPath path, std::optional<FCompoundWrite> merge, int64_t writeId);

    int64_t writeId() const { return writeId_; }
    const FPath& path() const { return path_; }
    bool visible() const { return visible_; }
    bool isOverwrite() const { return overwrite_ != nullptr; }
    bool isMerge() const { return merge_.has_value(); }
    // The node of a set; raises NSInvalidArgumentException on an update.
    const FNodePtr& overwrite() const;
    // The compound write of an update; raises NSInvalidArgumentException on a set.
    const FCompoundWrite& compoundWrite() const;
    // The plain field: absent for a set.
    const std::optional<FCompoundWrite>& merge() const { return merge_; }

    bool isEqual(const FWriteRecord& other) const;
    friend bool operator==(const FWriteRecord& a, const FWriteRecord& b) { return a.isEqual(b); }
    size_t hash() const;
    std::string description() const;

private:
    int64_t writeId_;
    FPath path_;
    FNodePtr overwrite_;
    std::optional<FCompoundWrite> merge_;
    bool visible_;
};

class FWriteTreeRef;

class FWriteTree : public std::enable_shared_from_this<FWriteTree> {
public:
    using RecordFilter = std::function<bool(const FWriteRecord&)>;

    static std::shared_ptr<FWriteTree> make() { return std::make_shared<FWriteTree>(); }

    // A handle on this tree at the path.
    FWriteTreeRef childWritesForPath(const FPath& path);

    void addOverwriteAtPath(const FPath& path, const FNodePtr& newData, int64_t writeId, bool isVisible);
    void addMergeAtPath(const FPath& path, const FCompoundWrite& changedChildren, int64_t writeId);

    // The first record with the id, or nullptr.
    FWriteRecordPtr writeForId(int64_t writeId) const;
    // Removes the record; YES when a view may show something different.
    bool removeWriteId(int64_t writeId);
    // Every record held, oldest first; afterwards the tree is empty.
    std::vector<FWriteRecordPtr> removeAllWrites();

    // The node visible writes fully determine at the path, or nullptr.
    FNodePtr shadowingWriteAtPath(const FPath& path) const;
    FNodePtr completeWriteDataAtPath(const FPath& path) const { return shadowingWriteAtPath(path); }

    // What the user sees at the path over the server node (nullptr when it
    // cannot be told). Exclusions and hidden writes walk the list.
    FNodePtr calculateCompleteEventCacheAtPath(const FPath& path, const FNodePtr& completeServerCache,
                                               const std::optional<std::vector<int64_t>>& excludeWriteIds,
                                               bool includeHiddenWrites) const;
    FNodePtr calculateCompleteEventChildrenAtPath(const FPath& path, const FNodePtr& completeServerChildren) const;
    FNodePtr calculateEventCacheAfterServerOverwriteAtPath(const FPath& path, const FPath& childPath,
                                                           const FNodePtr& existingEventSnap,
                                                           const FNodePtr& existingServerSnap) const;
    FNodePtr calculateCompleteChildAtPath(const FPath& path, const std::string& childKey,
                                          const FCacheNode& existingServerCache) const;
    // The child that comes first after the post under the index (in reverse
    // when asked). `indexedServerData`, when given, must hold the very node
    // `completeServerData`: its order then finds the answer without walking
    // every child.
    std::optional<FNamedNode> calculateNextNodeAfterPost(const FNamedNode& post, const FPath& path,
                                                         const FNodePtr& completeServerData, bool reverse,
                                                         const FIndexPtr& index,
                                                         const FIndexedNodePtr& indexedServerData = nullptr) const;

    static bool record(const FWriteRecord& record, const FPath& path);

    // Rebuilds the visible writes from the list.
    void resetTree();
    static const RecordFilter& defaultFilter();
    static FCompoundWrite layerTreeFromWrites(const std::deque<FWriteRecordPtr>& writes, const RecordFilter& filter,
                                              const FPath& treeRoot);
    static FCompoundWrite layerTreeFromWrites(const std::vector<FWriteRecordPtr>& writes, const RecordFilter& filter,
                                              const FPath& treeRoot) {
        return layerTreeFromWrites(std::deque<FWriteRecordPtr>(writes.begin(), writes.end()), filter, treeRoot);
    }

    const FCompoundWrite& visibleWrites() const { return layered(); }
    const std::deque<FWriteRecordPtr>& allWrites() const { return allWrites_; }

private:
    // Every path a visible record writes, with the number of such records
    // writing at and below each of its ancestors: a removal that no other
    // visible write is related to (the common case of acknowledgements
    // arriving in order for unrelated locations) needs no walk over the
    // other records, and the question costs one look-up per key of the path,
    // however many writes are pending. One table holds every level, keyed by
    // the path's text, and only places something is written at or below: a
    // place's entry goes when its last write does, and no table of a level
    // is made or freed as writes come and go.
    class WrittenPaths {
    public:
        // Counts a record's path by `delta`; answers whether another
        // record writes at, above or below it.
        bool add(const FPath& path, int delta);
        // Whether a path is written at, above or below this one.
        bool relatedTo(const FPath& path) const { return reach(path, true); }
        // Whether a path is written at or above this one.
        bool writtenAtOrAbove(const FPath& path) const { return reach(path, false); }
        void clear() { counts_.clear(); }
        bool isEmpty() const { return counts_.empty(); }

    private:
        struct Counts {
            // Records writing here, and below here.
            int here = 0;
            int below = 0;
        };
        // Whether a path is written above, at, or (when asked) below this one.
        bool reach(const FPath& path, bool below) const;
        // "" for the root, "/a/b" for a place below it.
        std::unordered_map<std::string, Counts> counts_;
        // Room for the keys a question builds.
        mutable std::string key_;
    };
    // Counts the visible record's written paths by `delta`. On removal
    // (and for a set on addition too) answers whether another visible
    // record is related to it, as visibleWriteRelatedTo would.
    bool indexWrittenPaths(const FWriteRecord& record, int delta);
    // Whether a visible record writes at, above or below the record's path
    // or a path it writes.
    bool visibleWriteRelatedTo(const FWriteRecord& record) const;

    // A change to the layered writes not yet made: a visible record added
    // or, as the only visible write about its paths, removed. An add made
    // where no other visible write was related, and removed so before
    // anything looked, is dropped: neither ever shows.
    struct PendingChange {
        FWriteRecordPtr record;
        bool add;
        bool isolated;
        bool cancelled;
    };
    // The visible writes layered, brought up to date when asked: writes
    // that nobody looks at before their acknowledgement (a location
    // without observers) then cost no layering at all.
    const FCompoundWrite& layered() const;
    // `related`: whether another visible record was related to it.
    void queueAdd(const FWriteRecordPtr& record, bool related);
    void queueRemoval(const FWriteRecordPtr& record);
    void relayer();
    void dropCancelled();
    static void apply(const PendingChange& change, FCompoundWrite& layered);

    // Oldest first; acknowledgements mostly take the front one.
    std::deque<FWriteRecordPtr> allWrites_;
    mutable FCompoundWrite layered_;
    mutable std::deque<PendingChange> pending_;
    // Layered anew from the records when next asked (what is pending then
    // is part of it).
    mutable bool relayerPending_ = false;
    // The pending adds by write id, as a position counted from the first
    // change ever queued (`pendingBase_` is the front's).
    mutable std::unordered_map<int64_t, uint64_t> pendingAdds_;
    mutable uint64_t pendingBase_ = 0;
    mutable size_t cancelledCount_ = 0;
    WrittenPaths visibleWrittenPaths_;
};

// A handle on a write tree fixed at one path.
class FWriteTreeRef {
public:
    FWriteTreeRef(FPath path, std::shared_ptr<FWriteTree> writeTree);

    const FPath& path() const { return path_; }
    const std::shared_ptr<FWriteTree>& writeTree() const { return writeTree_; }

    FNodePtr calculateCompleteEventCacheWithCompleteServerCache(const FNodePtr& completeServerCache) const;
    FNodePtr calculateCompleteEventChildrenWithCompleteServerChildren(const FNodePtr& completeServerChildren) const;
    FNodePtr calculateEventCacheAfterServerOverwriteWithChildPath(const FPath& childPath,
                                                                  const FNodePtr& existingEventSnap,
                                                                  const FNodePtr& existingServerSnap) const;
    // `path` is relative to the handle.
    FNodePtr shadowingWriteAtPath(const FPath& path) const;
    std::optional<FNamedNode> calculateNextNodeAfterPost(const FNamedNode& post, const FNodePtr& completeServerData,
                                                         bool reverse, const FIndexPtr& index,
                                                         const FIndexedNodePtr& indexedServerData = nullptr) const;
    FNodePtr calculateCompleteChild(const std::string& childKey, const FCacheNode& existingServerCache) const;
    FWriteTreeRef childWriteTreeRef(const std::string& childKey) const;

private:
    FPath path_;
    std::shared_ptr<FWriteTree> writeTree_;
};
