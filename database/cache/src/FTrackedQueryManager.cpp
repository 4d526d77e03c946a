#include "database/cache/FTrackedQueryManager.h"

#include <algorithm>
#include <cmath>

#include "database/connection/FLog.h"
#include "platform/error.h"

FTrackedQueryManager::FTrackedQueryManager(FStorageEnginePtr storageEngine, FClockPtr clock)
    : storageEngine_(std::move(storageEngine)), clock_(std::move(clock)) {
    const double now = clock_->currentTime();
    for (FTrackedQuery query : storageEngine_->loadTrackedQueries()) {
        currentQueryId_ = std::max(query.queryId() + 1, currentQueryId_);
        if (query.isActive()) {
            query = query.setActiveState(false).updateLastUse(now);
            FFLog("I-RDB081001", "Setting active query %lu from previous app start inactive",
                  (unsigned long)query.queryId());
            storageEngine_->saveTrackedQuery(query);
        }
        cacheTrackedQuery(query);
    }
}

FQuerySpec FTrackedQueryManager::normalizeQuery(const FQuerySpec& query) {
    return query.loadsAllData() ? FQuerySpec::defaultQueryAtPath(query.path()) : query;
}

std::optional<FTrackedQuery> FTrackedQueryManager::findTrackedQuery(const FQuerySpec& query) const {
    const FQuerySpec normalized = normalizeQuery(query);
    std::optional<QueriesAtPathPtr> atPath = trackedQueryTree_.valueAtPath(normalized.path());
    if (!atPath) return std::nullopt;
    auto found = (*atPath)->find(normalized.params());
    if (found == (*atPath)->end()) return std::nullopt;
    return found->second;
}

void FTrackedQueryManager::removeTrackedQuery(const FQuerySpec& query) {
    const FQuerySpec normalized = normalizeQuery(query);
    std::optional<FTrackedQuery> record = findTrackedQuery(normalized);
    if (!record) return;
    storageEngine_->removeTrackedQuery(record->queryId());
    if (auto atPath = trackedQueryTree_.valueAtPath(normalized.path())) (*atPath)->erase(normalized.params());
}

void FTrackedQueryManager::setQueryActive(bool isActive, const FQuerySpec& query) {
    const FQuerySpec normalized = normalizeQuery(query);
    std::optional<FTrackedQuery> record = findTrackedQuery(normalized);
    const double now = clock_->currentTime();
    if (record) {
        record = record->updateLastUse(now).setActiveState(isActive);
    } else {
        record.emplace(currentQueryId_++, normalized, now, isActive);
    }
    // Activity is kept in memory even when the disk refuses it: the record
    // then simply reads as inactive after a restart, which it is anyway.
    storageEngine_->saveTrackedQuery(*record);
    cacheTrackedQuery(*record);
}

bool FTrackedQueryManager::saveAndCache(const FTrackedQuery& query) {
    if (!storageEngine_->saveTrackedQuery(query)) return false;
    cacheTrackedQuery(query);
    return true;
}

bool FTrackedQueryManager::setQueryComplete(const FQuerySpec& query) {
    std::optional<FTrackedQuery> record = findTrackedQuery(query);
    if (!record) {
        FFWarn("I-RDB081002", "Trying to set a query complete that is not tracked!");
        return false;
    }
    if (record->isComplete()) return true;
    return saveAndCache(record->setComplete());
}

bool FTrackedQueryManager::setQueriesCompleteAtPath(const FPath& path) {
    std::vector<FTrackedQuery> incomplete;
    trackedQueryTree_.subtreeAtPath(path).forEach([&](const FPath&, const QueriesAtPathPtr& atPath) {
        for (const auto& [params, record] : *atPath) {
            if (!record.isComplete()) incomplete.push_back(record);
        }
    });
    bool stored = true;
    for (const FTrackedQuery& record : incomplete) stored = saveAndCache(record.setComplete()) && stored;
    return stored;
}

bool FTrackedQueryManager::isIncludedInDefaultCompleteQuery(const FQuerySpec& query) const {
    return trackedQueryTree_
        .findRootMostMatchingPath(query.path(),
                                  [](const QueriesAtPathPtr& atPath) {
                                      auto found = atPath->find(FQueryParams::defaultInstance());
                                      return found != atPath->end() && found->second.isComplete();
                                  })
        .has_value();
}

bool FTrackedQueryManager::hasActiveDefaultQueryAtPath(const FPath& path) const {
    return trackedQueryTree_
        .findRootMostMatchingPath(path,
                                  [](const QueriesAtPathPtr& atPath) {
                                      auto found = atPath->find(FQueryParams::defaultInstance());
                                      return found != atPath->end() && found->second.isActive();
                                  })
        .has_value();
}

bool FTrackedQueryManager::isQueryComplete(const FQuerySpec& query) const {
    if (isIncludedInDefaultCompleteQuery(query)) return true;
    if (query.loadsAllData()) return false;
    std::optional<FTrackedQuery> record = findTrackedQuery(query);
    return record && record->isComplete();
}

bool FTrackedQueryManager::ensureCompleteTrackedQueryAtPath(const FPath& path) {
    const FQuerySpec query = FQuerySpec::defaultQueryAtPath(path);
    if (isIncludedInDefaultCompleteQuery(query)) return true;
    std::optional<FTrackedQuery> record = findTrackedQuery(query);
    if (record) {
        record = record->setComplete();
    } else {
        record.emplace(currentQueryId_++, query, clock_->currentTime(), false, true);
    }
    return saveAndCache(*record);
}

void FTrackedQueryManager::cacheTrackedQuery(const FTrackedQuery& query) {
    const FPath& path = query.query().path();
    std::optional<QueriesAtPathPtr> atPath = trackedQueryTree_.valueAtPath(path);
    if (!atPath) {
        auto created = std::make_shared<QueriesAtPath>();
        trackedQueryTree_ = trackedQueryTree_.setValue(created, path);
        atPath = created;
    }
    (*atPath)->insert_or_assign(query.query().params(), query);
}

uint64_t FTrackedQueryManager::numberOfQueriesToPrune(const FCachePolicy& policy, uint64_t prunableCount) const {
    const uint64_t maxToKeep = policy.maxNumberOfQueriesToKeep();
    const uint64_t overLimit = prunableCount > maxToKeep ? prunableCount - maxToKeep : 0;
    // Single precision on purpose: the share is a float, and so is its product.
    const float share = std::ceil(float(prunableCount) * policy.percentOfQueriesToPruneAtOnce());
    return std::max(overLimit, uint64_t(share));
}

std::vector<FTrackedQuery> FTrackedQueryManager::allRecords() const {
    std::vector<FTrackedQuery> records;
    trackedQueryTree_.forEach([&](const FPath&, const QueriesAtPathPtr& atPath) {
        for (const auto& [params, record] : *atPath) records.push_back(record);
    });
    return records;
}

FPruneForest FTrackedQueryManager::pruneOldQueries(const FCachePolicy& policy) {
    std::vector<FTrackedQuery> prunable;
    std::vector<FTrackedQuery> unprunable;
    for (FTrackedQuery& record : allRecords()) {
        (record.isActive() ? unprunable : prunable).push_back(std::move(record));
    }
    std::stable_sort(prunable.begin(), prunable.end(),
                     [](const FTrackedQuery& a, const FTrackedQuery& b) { return a.lastUse() < b.lastUse(); });
    const uint64_t toPrune = std::min<uint64_t>(numberOfQueriesToPrune(policy, prunable.size()), prunable.size());
    FPruneForest forest = FPruneForest::empty();
    for (size_t i = 0; i < toPrune; ++i) {
        forest = forest.prunePath(prunable[i].query().path());
        removeTrackedQuery(prunable[i].query());
    }
    for (size_t i = toPrune; i < prunable.size(); ++i) forest = forest.keepPath(prunable[i].query().path());
    for (const FTrackedQuery& record : unprunable) forest = forest.keepPath(record.query().path());
    return forest;
}

uint64_t FTrackedQueryManager::numberOfPrunableQueries() const {
    uint64_t count = 0;
    trackedQueryTree_.forEach([&](const FPath&, const QueriesAtPathPtr& atPath) {
        for (const auto& [params, record] : *atPath) {
            if (!record.isActive()) ++count;
        }
    });
    return count;
}

std::set<uint64_t> FTrackedQueryManager::filteredQueryIdsAtPath(const FPath& path) const {
    std::set<uint64_t> ids;
    std::optional<QueriesAtPathPtr> atPath = trackedQueryTree_.valueAtPath(path);
    if (!atPath) return ids;
    for (const auto& [params, record] : **atPath) {
        if (!record.query().loadsAllData()) ids.insert(record.queryId());
    }
    return ids;
}

std::set<std::string> FTrackedQueryManager::knownCompleteChildrenAtPath(const FPath& path) const {
    std::set<std::string> keys;
    for (uint64_t id : filteredQueryIdsAtPath(path)) {
        std::set<std::string> tracked = storageEngine_->trackedQueryKeysForQuery(id);
        keys.insert(tracked.begin(), tracked.end());
    }
    trackedQueryTree_.subtreeAtPath(path).forEachChild([&](const std::string& key, const QueriesAtPathPtr& atPath) {
        auto found = atPath->find(FQueryParams::defaultInstance());
        if (found != atPath->end() && found->second.isComplete()) keys.insert(key);
    });
    return keys;
}

void FTrackedQueryManager::verifyCache() const {
    auto byId = [](const FTrackedQuery& a, const FTrackedQuery& b) { return a.queryId() < b.queryId(); };
    std::vector<FTrackedQuery> inMemory = allRecords();
    std::vector<FTrackedQuery> onDisk = storageEngine_->loadTrackedQueries();
    std::sort(inMemory.begin(), inMemory.end(), byId);
    std::sort(onDisk.begin(), onDisk.end(), byId);
    if (inMemory != onDisk) {
        ns::Exception::raise("NSInternalInconsistencyException",
                             "Tracked queries and queries stored on disk don't match");
    }
}
