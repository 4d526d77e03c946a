#include "database/sync/FViewCache.h"

#include "platform/error.h"
#include "platform/format.h"

FCacheNode::FCacheNode(FIndexedNodePtr indexedNode, bool isFullyInitialized, bool isFiltered)
    : indexedNode_(std::move(indexedNode)), isFullyInitialized_(isFullyInitialized), isFiltered_(isFiltered) {}

bool FCacheNode::isCompleteForPath(const FPath& path) const {
    if (path.isEmpty()) return isFullyInitialized_ && !isFiltered_;
    return isCompleteForChild(path.pieceAt(0));
}

bool FCacheNode::isCompleteForChild(const std::string& key) const {
    return (isFullyInitialized_ && !isFiltered_) || node()->hasChild(key);
}

FViewCache::FViewCache(FCacheNode eventCache, FCacheNode serverCache)
    : eventCache_(std::move(eventCache)), serverCache_(std::move(serverCache)) {}

FViewCache FViewCache::updateEventSnap(FIndexedNodePtr eventSnap, bool isComplete, bool isFiltered) const {
    return FViewCache(FCacheNode(std::move(eventSnap), isComplete, isFiltered), serverCache_);
}

FViewCache FViewCache::updateServerSnap(FIndexedNodePtr serverSnap, bool isComplete, bool isFiltered) const {
    return FViewCache(eventCache_, FCacheNode(std::move(serverSnap), isComplete, isFiltered));
}

FNodePtr FViewCache::completeEventSnap() const {
    return eventCache_.isFullyInitialized() ? eventCache_.node() : nullptr;
}

FNodePtr FViewCache::completeServerSnap() const {
    return serverCache_.isFullyInitialized() ? serverCache_.node() : nullptr;
}

void FChildChangeAccumulator::trackFirstChildChange(FChange change) {
    slots_.emplace_back(std::move(change));
    ++live_;
}

void FChildChangeAccumulator::trackChildChange(FChange change) {
    for (; indexed_ < slots_.size(); ++indexed_) {
        if (slots_[indexed_]) index_.emplace(*slots_[indexed_]->childKey(), indexed_);
    }
    const std::string& key = *change.childKey();
    auto it = index_.find(key);
    if (it == index_.end()) {
        index_.emplace(key, slots_.size());
        slots_.emplace_back(std::move(change));
        indexed_ = slots_.size();
        ++live_;
        return;
    }
    std::optional<FChange>& slot = slots_[it->second];
    const FChange& old = *slot;
    QRVDataEventType oldType = old.type();
    QRVDataEventType newType = change.type();
    if (oldType == QRVDataEventTypeChildAdded && newType == QRVDataEventTypeChildRemoved) {
        slot.reset();
        index_.erase(it);
        --live_;
    } else if (oldType == QRVDataEventTypeChildAdded && newType == QRVDataEventTypeChildChanged) {
        slot = FChange(QRVDataEventTypeChildAdded, change.indexedNode(), key);
    } else if (oldType == QRVDataEventTypeChildRemoved && newType == QRVDataEventTypeChildAdded) {
        slot = FChange(QRVDataEventTypeChildChanged, change.indexedNode(), key, old.indexedNode());
    } else if (oldType == QRVDataEventTypeChildChanged && newType == QRVDataEventTypeChildRemoved) {
        slot = FChange(QRVDataEventTypeChildRemoved, old.oldIndexedNode(), key);
    } else if (oldType == QRVDataEventTypeChildChanged && newType == QRVDataEventTypeChildChanged) {
        slot = FChange(QRVDataEventTypeChildChanged, change.indexedNode(), key, old.oldIndexedNode());
    } else {
        throw ns::Exception("QuorvaneDatabaseInternalError",
                            ns::format("Illegal combination of changes: %@ occurred after %@", change.description(),
                                       old.description()));
    }
}

FChangeList FChildChangeAccumulator::changes() const {
    FChangeList out;
    out.reserve(live_);
    for (const auto& slot : slots_) {
        if (slot) out.push_back(*slot);
    }
    return out;
}

FChangeList FChildChangeAccumulator::takeChanges() {
    FChangeList out;
    out.reserve(live_);
    for (auto& slot : slots_) {
        if (slot) out.push_back(std::move(*slot));
    }
    *this = FChildChangeAccumulator(childChangesWanted_);
    return out;
}
