#include "database/sync/FSyncPoint.h"

#include <algorithm>

FSyncPoint::FSyncPoint(FPersistenceManagerPtr persistenceManager)
    : persistenceManager_(std::move(persistenceManager)) {}

FEventList FSyncPoint::applyOperation(const FOperation& operation, const FWriteTreeRef& writesCache,
                                      const FNodePtr& optCompleteServerCache) {
    if (const FQueryParamsPtr& params = operation.source()->queryParams()) {
        auto found = viewIndex_.find(params);
        if (found == viewIndex_.end()) return {};
        return applyOperationToView(found->second, operation, writesCache, optCompleteServerCache);
    }
    FEventList events;
    for (const auto& [params, view] : views_) {
        FEventList viewEvents = applyOperationToView(view, operation, writesCache, optCompleteServerCache);
        events.insert(events.end(), std::make_move_iterator(viewEvents.begin()),
                      std::make_move_iterator(viewEvents.end()));
    }
    return events;
}

FEventList FSyncPoint::applyOperationToView(const FViewPtr& view, const FOperation& operation,
                                            const FWriteTreeRef& writesCache, const FNodePtr& optCompleteServerCache) {
    FViewOperationResult result = view->applyOperation(operation, writesCache, optCompleteServerCache);
    if (!view->query().loadsAllData() && persistenceManager_) {
        std::set<std::string> added;
        std::set<std::string> removed;
        for (const FChange& change : result.changes) {
            if (change.type() == QRVDataEventTypeChildAdded) {
                added.insert(*change.childKey());
            } else if (change.type() == QRVDataEventTypeChildRemoved) {
                removed.insert(*change.childKey());
            }
        }
        if (!added.empty() || !removed.empty()) {
            persistenceManager_->updateTrackedQueryKeysWithAddedKeys(added, removed, view->query());
        }
    }
    return std::move(result.events);
}

FEventList FSyncPoint::addEventRegistration(const FEventRegistrationPtr& registration,
                                                              const FQuerySpec& query,
                                                              const FWriteTreeRef& writesCache,
                                                              const FCacheNode& serverCache) {
    FNodePtr completeServer = serverCache.isFullyInitialized() ? serverCache.node() : nullptr;
    FNodePtr eventCacheNode = writesCache.calculateCompleteEventCacheWithCompleteServerCache(completeServer);
    bool eventCacheComplete = eventCacheNode != nullptr;
    if (!eventCacheComplete) {
        eventCacheNode = writesCache.calculateCompleteEventChildrenWithCompleteServerChildren(serverCache.node());
    }
    // With nothing pending, the event data is the server data: share its order.
    const FIndexedNodePtr& serverIndexed = serverCache.indexedNode();
    FIndexedNodePtr indexed = serverIndexed->node() == eventCacheNode && serverIndexed->hasIndex(query.index())
                                  ? serverIndexed
                                  : FIndexedNode::indexedNodeWithNode(eventCacheNode, query.index());
    FViewCache viewCache(FCacheNode(indexed, eventCacheComplete, false), serverCache);
    auto view = std::make_shared<FView>(query, viewCache);
    if (!query.loadsAllData() && persistenceManager_) {
        std::set<std::string> keys;
        view->eventCache()->enumerateChildren([&](const std::string& key, const FNodePtr&, bool&) { keys.insert(key); });
        persistenceManager_->setTrackedQueryKeys(keys, query);
    }
    views_.emplace_back(query.params(), view);
    viewIndex_.emplace(query.params(), view);
    return addEventRegistration(registration, query);
}

FEventList FSyncPoint::addEventRegistration(const FEventRegistrationPtr& registration,
                                                           const FQuerySpec& query) {
    FViewPtr view = viewForQuery(query);
    view->addEventRegistration(registration);
    return view->initialEvents(registration);
}

FTupleRemovedQueriesEvents FSyncPoint::removeEventRegistration(const FEventRegistrationPtr& registration,
                                                               const FQuerySpec& query,
                                                               const ns::ErrorRef& cancelError) {
    FTupleRemovedQueriesEvents result;
    bool hadCompleteView = hasCompleteView();
    auto removeView = [&](const FViewPtr& view) {
        FEventList events = view->removeEventRegistration(registration, cancelError);
        result.cancelEvents.insert(result.cancelEvents.end(), events.begin(), events.end());
        if (!view->isEmpty()) return false;
        if (!view->query().loadsAllData()) result.removedQueries.push_back(view->query());
        return true;
    };
    std::vector<FViewPtr> emptied;
    if (query.isDefault()) {
        for (const auto& [params, view] : views_) {
            if (removeView(view)) emptied.push_back(view);
        }
    } else if (FViewPtr view = viewForQuery(query)) {
        if (removeView(view)) emptied.push_back(view);
    }
    for (const FViewPtr& view : emptied) {
        viewIndex_.erase(view->query().params());
        views_.erase(std::find_if(views_.begin(), views_.end(), [&](const auto& entry) { return entry.second == view; }));
    }
    if (hadCompleteView && !hasCompleteView()) {
        result.removedQueries.push_back(FQuerySpec::defaultQueryAtPath(query.path()));
    }
    return result;
}

std::vector<FViewPtr> FSyncPoint::queryViews() const {
    std::vector<FViewPtr> out;
    for (const auto& [params, view] : views_) {
        if (!view->query().loadsAllData()) out.push_back(view);
    }
    return out;
}

FNodePtr FSyncPoint::completeServerCacheAtPath(const FPath& path) const {
    for (const auto& [params, view] : views_) {
        if (FNodePtr cache = view->completeServerCacheFor(path)) return cache;
    }
    return nullptr;
}

FViewPtr FSyncPoint::viewForQuery(const FQuerySpec& query) const {
    auto found = viewIndex_.find(query.params());
    return found == viewIndex_.end() ? nullptr : found->second;
}

FViewPtr FSyncPoint::completeView() const {
    for (const auto& [params, view] : views_) {
        if (view->query().loadsAllData()) return view;
    }
    return nullptr;
}

std::vector<FViewPtr> FSyncPoint::views() const {
    std::vector<FViewPtr> out;
    for (const auto& [params, view] : views_) out.push_back(view);
    return out;
}
