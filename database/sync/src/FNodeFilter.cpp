#include "database/sync/FNodeFilter.h"

#include <algorithm>
#include <unordered_set>

#include "database/sync/FQueryParams.h"
#include "platform/no_destructor.h"

namespace {

const FNodePtr& emptyNode() { return FEmptyNode::emptyNode(); }

FIndexedNodePtr wrap(const FNodePtr& node) { return FIndexedNode::indexedNodeWithNode(node); }

// `snap` without its priority and with every child `keep` rejects removed.
// A few removals update the node (keeping its index order); many rebuild it
// from the kept children, which is cheaper than removing one at a time.
template <class Keep>
FIndexedNodePtr keepChildren(const FIndexedNodePtr& snap, const FIndexPtr& index, Keep&& keep) {
    auto* children = dynamic_cast<const FChildrenNode*>(snap->node().get());
    FIndexedNodePtr withoutPriority = snap->updatePriority(emptyNode());
    if (!children) return withoutPriority;
    std::vector<FChildrenDictionary::Entry> kept;
    std::vector<std::string> dropped;
    children->children().forEach([&](const std::string& key, const FNodePtr& child) {
        if (keep(key, child)) {
            kept.emplace_back(key, child);
        } else {
            dropped.push_back(key);
        }
        return true;
    });
    if (dropped.empty()) return withoutPriority;
    if (dropped.size() * 4 <= size_t(children->numChildren())) {
        FIndexedNodePtr result = withoutPriority;
        for (const std::string& key : dropped) result = result->updateChild(key, emptyNode());
        return result;
    }
    FNodePtr node = FChildrenNode::make(FChildrenDictionary::fromSortedEntries(std::move(kept)), nullptr);
    return FIndexedNode::indexedNodeWithNode(std::move(node), index);
}

}  // namespace

const FNoCompleteChildSource& FNoCompleteChildSource::instance() {
    static const ns::NoDestructor<FNoCompleteChildSource> kInstance;
    return *kInstance;
}

// Indexed filter.

FIndexedFilter::FIndexedFilter(FIndexPtr index) : index_(std::move(index)) {}

FIndexedNodePtr FIndexedFilter::updateChildIn(const FIndexedNodePtr& oldSnap, const std::string& childKey,
                                              const FNodePtr& newChild, const FPath& affectedPath,
                                              const FCompleteChildSource&,
                                              FChildChangeAccumulator* accumulator) const {
    const FNodePtr& oldNode = oldSnap->node();
    FNodePtr oldChild = oldNode->getImmediateChild(childKey);
    if (oldChild->getChild(affectedPath)->isEqual(*newChild->getChild(affectedPath)) &&
        oldChild->isEmpty() == newChild->isEmpty()) {
        return oldSnap;
    }
    if (accumulator) {
        if (newChild->isEmpty()) {
            if (oldNode->hasChild(childKey)) {
                accumulator->trackChildChange(FChange(QRVDataEventTypeChildRemoved, wrap(oldChild), childKey));
            }
        } else if (oldChild->isEmpty()) {
            accumulator->trackChildChange(FChange(QRVDataEventTypeChildAdded, wrap(newChild), childKey));
        } else {
            accumulator->trackChildChange(
                FChange(QRVDataEventTypeChildChanged, wrap(newChild), childKey, wrap(oldChild)));
        }
    }
    if (oldNode->isLeafNode() && newChild->isEmpty()) return oldSnap;
    return oldSnap->updateChild(childKey, newChild);
}

FIndexedNodePtr FIndexedFilter::updateFullNode(const FIndexedNodePtr& oldSnap, const FIndexedNodePtr& newSnap,
                                               FChildChangeAccumulator* accumulator) const {
    // The very same immutable node has no child changes: a listen completing
    // on data already held would otherwise compare every child with itself.
    if (accumulator && oldSnap->node() != newSnap->node() && !accumulator->childChangesWanted()) {
        // A whole load's worth of changes no one receives: the value event is
        // decided on the nodes instead.
        accumulator->noteUntrackedReplacement();
    } else if (accumulator && oldSnap->node() != newSnap->node()) {
        const FNodePtr& oldNode = oldSnap->node();
        const FNodePtr& newNode = newSnap->node();
        // Each child gets one change here, so into an empty accumulator they
        // go without the look-up for one held (a whole load's children).
        const bool first = accumulator->isEmpty();
        auto track = [&](FChange change) {
            if (first) {
                accumulator->trackFirstChildChange(std::move(change));
            } else {
                accumulator->trackChildChange(std::move(change));
            }
        };
        oldNode->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
            if (!newNode->hasChild(key)) track(FChange(QRVDataEventTypeChildRemoved, wrap(child), key));
        });
        const bool wasEmpty = oldNode->isEmpty();
        newNode->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
            if (!wasEmpty && oldNode->hasChild(key)) {
                FNodePtr oldChild = oldNode->getImmediateChild(key);
                if (!oldChild->isEqual(*child)) {
                    track(FChange(QRVDataEventTypeChildChanged, wrap(child), key, wrap(oldChild)));
                }
            } else {
                track(FChange(QRVDataEventTypeChildAdded, wrap(child), key));
            }
        });
    }
    return newSnap;
}

FIndexedNodePtr FIndexedFilter::updatePriority(const FNodePtr& priority, const FIndexedNodePtr& snap) const {
    if (snap->node()->isEmpty()) return snap;
    return snap->updatePriority(priority);
}

// Ranged filter.

FRangedFilter::FRangedFilter(const FQueryParams& params)
    : index_(params.index()),
      indexedFilter_(params.index()),
      startPost_(startPostFromQueryParams(params)),
      endPost_(endPostFromQueryParams(params)) {}

FNamedNode FRangedFilter::startPostFromQueryParams(const FQueryParams& params) {
    if (params.hasStart()) return params.index()->makePost(params.indexStartValue(), params.indexStartKey());
    return params.index()->minPost();
}

FNamedNode FRangedFilter::endPostFromQueryParams(const FQueryParams& params) {
    if (params.hasEnd()) return params.index()->makePost(params.indexEndValue(), params.indexEndKey());
    return params.index()->maxPost();
}

bool FRangedFilter::matchesKey(std::string_view key, const FNode& node) const {
    return index_->compare(startPost_.name, *startPost_.node, key, node) <= 0 &&
           index_->compare(key, node, endPost_.name, *endPost_.node) <= 0;
}

FIndexedNodePtr FRangedFilter::updateChildIn(const FIndexedNodePtr& oldSnap, const std::string& childKey,
                                             const FNodePtr& newChild, const FPath& affectedPath,
                                             const FCompleteChildSource& source,
                                             FChildChangeAccumulator* accumulator) const {
    const FNodePtr& child = matchesKey(childKey, *newChild) ? newChild : emptyNode();
    return indexedFilter_.updateChildIn(oldSnap, childKey, child, affectedPath, source, accumulator);
}

FIndexedNodePtr FRangedFilter::updateFullNode(const FIndexedNodePtr& oldSnap, const FIndexedNodePtr& newSnap,
                                              FChildChangeAccumulator* accumulator) const {
    FIndexedNodePtr filtered;
    if (newSnap->node()->isLeafNode()) {
        filtered = FIndexedNode::indexedNodeWithNode(emptyNode(), index_);
    } else {
        filtered = keepChildren(newSnap, index_, [&](const std::string& key, const FNodePtr& child) {
            return matchesKey(key, *child);
        });
    }
    return indexedFilter_.updateFullNode(oldSnap, filtered, accumulator);
}

// Limited filter.

FLimitedFilter::FLimitedFilter(const FQueryParams& params)
    : rangedFilter_(params), index_(params.index()), limit_(params.limit()), reverse_(!params.isViewFromLeft()) {}

FIndexedNodePtr FLimitedFilter::updateChildIn(const FIndexedNodePtr& oldSnap, const std::string& childKey,
                                              const FNodePtr& newChild, const FPath& affectedPath,
                                              const FCompleteChildSource& source,
                                              FChildChangeAccumulator* accumulator) const {
    const FNodePtr& child = rangedFilter_.matchesKey(childKey, *newChild) ? newChild : emptyNode();
    if (oldSnap->node()->getImmediateChild(childKey)->isEqual(*child)) return oldSnap;
    if (oldSnap->node()->numChildren() < limit_) {
        return rangedFilter_.indexedFilter().updateChildIn(oldSnap, childKey, child, affectedPath, source,
                                                           accumulator);
    }
    return fullLimitUpdateNode(oldSnap, childKey, child, source, accumulator);
}

FIndexedNodePtr FLimitedFilter::fullLimitUpdateNode(const FIndexedNodePtr& oldIndexed, const std::string& childKey,
                                                    const FNodePtr& childSnap, const FCompleteChildSource& source,
                                                    FChildChangeAccumulator* accumulator) const {
    const FNodePtr& oldNode = oldIndexed->node();
    std::optional<FNamedNode> edge = reverse_ ? oldIndexed->firstChild() : oldIndexed->lastChild();
    // Only a window of limit 0, which queries refuse, is full with no edge.
    if (!edge) return oldIndexed;
    bool inRange = rangedFilter_.matchesKey(childKey, *childSnap);
    if (oldNode->hasChild(childKey)) {
        FNodePtr oldChild = oldNode->getImmediateChild(childKey);
        std::optional<FNamedNode> next = source.childByIndex(index_, *edge, reverse_);
        if (next && (next->name == childKey || oldNode->hasChild(next->name))) {
            // The source may still hold this child, or one already in view,
            // just beyond the edge; the one after it is the real candidate.
            next = source.childByIndex(index_, *next, reverse_);
        }
        int compareNext = next ? index_->compare(next->name, *next->node, childKey, *childSnap, reverse_) : 1;
        bool remainsInWindow = inRange && !childSnap->isEmpty() && compareNext >= 0;
        if (remainsInWindow) {
            if (accumulator) {
                accumulator->trackChildChange(FChange(QRVDataEventTypeChildChanged, wrap(childSnap), childKey,
                                                      wrap(oldChild)));
            }
            return oldIndexed->updateChild(childKey, childSnap);
        }
        if (accumulator) {
            accumulator->trackChildChange(FChange(QRVDataEventTypeChildRemoved, wrap(oldChild), childKey));
        }
        FIndexedNodePtr newIndexed = oldIndexed->updateChild(childKey, emptyNode());
        if (next && rangedFilter_.matchesKey(next->name, *next->node)) {
            if (accumulator) {
                accumulator->trackChildChange(FChange(QRVDataEventTypeChildAdded, wrap(next->node), next->name));
            }
            return newIndexed->updateChild(next->name, next->node);
        }
        return newIndexed;
    }
    if (childSnap->isEmpty()) return oldIndexed;
    if (inRange) {
        if (index_->compare(edge->name, *edge->node, childKey, *childSnap, reverse_) >= 0) {
            if (accumulator) {
                accumulator->trackChildChange(FChange(QRVDataEventTypeChildRemoved, wrap(edge->node), edge->name));
                accumulator->trackChildChange(FChange(QRVDataEventTypeChildAdded, wrap(childSnap), childKey));
            }
            return oldIndexed->updateChild(childKey, childSnap)->updateChild(edge->name, emptyNode());
        }
        return oldIndexed;
    }
    return oldIndexed;
}

FIndexedNodePtr FLimitedFilter::updateFullNode(const FIndexedNodePtr& oldSnap, const FIndexedNodePtr& newSnap,
                                               FChildChangeAccumulator* accumulator) const {
    FIndexedNodePtr filtered;
    const FNodePtr& newNode = newSnap->node();
    if (newNode->isLeafNode() || newNode->isEmpty()) {
        filtered = FIndexedNode::indexedNodeWithNode(emptyNode(), index_);
    } else {
        // Walking the children in direction order from the start post, the
        // window keeps the first `limit` not past the end post: the `limit`
        // first in direction order among those between the posts. Choosing
        // them with a bounded heap spares ordering every child of a large
        // location, and a child-path index compares the values at its path,
        // looked up once per child instead of once per comparison.
        FNamedNode startPost = reverse_ ? rangedFilter_.endPost() : rangedFilter_.startPost();
        FNamedNode endPost = reverse_ ? rangedFilter_.startPost() : rangedFilter_.endPost();
        auto* pathIndex = dynamic_cast<const FPathIndex*>(index_.get());
        const FIndex& order = pathIndex ? *FValueIndex::valueIndex() : *index_;
        auto orderedValue = [&](const FNodePtr& node) { return pathIndex ? node->getChild(pathIndex->path()) : node; };
        struct Candidate {
            const std::string* key;
            FNodePtr value;
        };
        FNodePtr startValue = orderedValue(startPost.node);
        FNodePtr endValue = orderedValue(endPost.node);
        auto before = [&](const Candidate& a, const Candidate& b) {
            return order.compare(*a.key, *a.value, *b.key, *b.value, reverse_) < 0;
        };
        std::vector<Candidate> window;
        newNode->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
            Candidate candidate{&key, orderedValue(child)};
            if (order.compare(startPost.name, *startValue, key, *candidate.value, reverse_) > 0) return;
            if (order.compare(key, *candidate.value, endPost.name, *endValue, reverse_) > 0) return;
            if (int64_t(window.size()) < limit_) {
                window.push_back(std::move(candidate));
                std::push_heap(window.begin(), window.end(), before);
            } else if (!window.empty() && before(candidate, window.front())) {
                std::pop_heap(window.begin(), window.end(), before);
                window.back() = std::move(candidate);
                std::push_heap(window.begin(), window.end(), before);
            }
        });
        std::unordered_set<std::string_view> kept;
        for (const Candidate& candidate : window) kept.insert(*candidate.key);
        filtered = keepChildren(newSnap, index_,
                                [&](const std::string& key, const FNodePtr&) { return kept.count(key) > 0; });
    }
    return rangedFilter_.indexedFilter().updateFullNode(oldSnap, filtered, accumulator);
}
