#include "database/sync/FView.h"

#include <algorithm>

#include "platform/format.h"

namespace {

FViewCache initialCache(const FQuerySpec& query, const FNodeFilter& nodeFilter, const FViewCache& initial) {
    FIndexedFilter indexFilter(query.index());
    FIndexedNodePtr emptyIndexed = FIndexedNode::indexedNodeWithNode(FEmptyNode::emptyNode(), query.index());
    const FCacheNode& initialServer = initial.cachedServerSnap();
    const FCacheNode& initialEvent = initial.cachedEventSnap();
    FIndexedNodePtr serverSnap = indexFilter.updateFullNode(emptyIndexed, initialServer.indexedNode(), nullptr);
    FIndexedNodePtr eventSnap = nodeFilter.updateFullNode(emptyIndexed, initialEvent.indexedNode(), nullptr);
    return FViewCache(FCacheNode(eventSnap, initialEvent.isFullyInitialized(), nodeFilter.filtersNodes()),
                      FCacheNode(serverSnap, initialServer.isFullyInitialized(), indexFilter.filtersNodes()));
}

}  // namespace

FView::FView(FQuerySpec query, const FViewCache& initialViewCache)
    : query_(std::move(query)),
      processor_(query_.params()->nodeFilter()),
      viewCache_(initialCache(query_, *processor_.filter(), initialViewCache)),
      eventGenerator_(query_) {}

FNodePtr FView::completeServerCacheFor(const FPath& path) const {
    FNodePtr cache = viewCache_.completeServerSnap();
    if (!cache) return nullptr;
    if (query_.loadsAllData()) return cache->getChild(path);
    // A filtered view vouches only for children it holds.
    if (!path.isEmpty() && !cache->getImmediateChild(path.pieceAt(0))->isEmpty()) return cache->getChild(path);
    return nullptr;
}

void FView::addEventRegistration(const FEventRegistrationPtr& registration) {
    eventRegistrations_.push_back(registration);
}

FEventList FView::removeEventRegistration(const FEventRegistrationPtr& registration, const ns::ErrorRef& cancelError) {
    FEventList cancelEvents;
    if (cancelError) {
        const FPath& path = query_.path();
        for (const FEventRegistrationPtr& existing : eventRegistrations_) {
            if (FEventPtr event = existing->createCancelEventFromError(cancelError, path)) {
                cancelEvents.push_back(std::move(event));
            }
        }
    }
    if (registration) {
        std::vector<FEventRegistrationPtr> remaining;
        for (const FEventRegistrationPtr& existing : eventRegistrations_) {
            if (!existing->matches(*registration)) remaining.push_back(existing);
        }
        eventRegistrations_ = std::move(remaining);
    } else {
        eventRegistrations_.clear();
    }
    return cancelEvents;
}

FViewOperationResult FView::applyOperation(const FOperation& operation, const FWriteTreeRef& writesCache,
                                           const FNodePtr& completeServerCache) {
    FViewProcessorResult result =
        processor_.applyOperationOn(viewCache_, operation, writesCache, completeServerCache, wantsChildChanges());
    viewCache_ = std::move(result.viewCache);
    FEventList events =
        generateEventsForChanges(result.changes, viewCache_.cachedEventSnap().indexedNode(), nullptr);
    return FViewOperationResult{std::move(result.changes), std::move(events)};
}

bool FView::wantsChildChanges() const {
    if (!query_.loadsAllData()) return true;
    return std::any_of(eventRegistrations_.begin(), eventRegistrations_.end(), [](const FEventRegistrationPtr& r) {
        return r->responseTo(QRVDataEventTypeChildAdded) || r->responseTo(QRVDataEventTypeChildRemoved) ||
               r->responseTo(QRVDataEventTypeChildChanged) || r->responseTo(QRVDataEventTypeChildMoved);
    });
}

FEventList FView::initialEvents(const FEventRegistrationPtr& registration) const {
    const FCacheNode& eventSnap = viewCache_.cachedEventSnap();
    FChangeList initialChanges;
    eventSnap.node()->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
        initialChanges.emplace_back(QRVDataEventTypeChildAdded, FIndexedNode::indexedNodeWithNode(child), key);
    });
    if (eventSnap.isFullyInitialized()) {
        initialChanges.emplace_back(QRVDataEventTypeValue, eventSnap.indexedNode());
    }
    return generateEventsForChanges(initialChanges, eventSnap.indexedNode(), registration);
}

FEventList FView::generateEventsForChanges(const FChangeList& changes, const FIndexedNodePtr& eventCache,
                                           const FEventRegistrationPtr& registration) const {
    if (registration) return eventGenerator_.generateEventsForChanges(changes, eventCache, {registration});
    return eventGenerator_.generateEventsForChanges(changes, eventCache, eventRegistrations_);
}

std::string FView::description() const { return ns::format("FView (%@)", query_.description()); }
