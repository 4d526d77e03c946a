#include <gtest/gtest.h>

#include "core/QRVLogger.h"
#include "database/cache/FDiskPersistenceManager.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "database/cache/FTrackedQueryManager.h"
#include "database/model/FIndex.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/json.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"

namespace {

class SetClock final : public FClock {
public:
    double currentTime() const override { return now; }
    double now = 100;
};

FNodePtr node(std::string_view json) { return FSnapshotUtilities::nodeFrom(ns::json::parse(json)); }

FQuerySpec defaultAt(const char* path) { return FQuerySpec::defaultQueryAtPath(FPath(path)); }
FQuerySpec limitedAt(const char* path, int64_t limit = 2) {
    return FQuerySpec(FPath(path), FQueryParams::defaultInstance()->limitToFirst(limit));
}

// The real engine whose server-cache batches can be made to fail, as a full
// disk makes them.
class FailingEngine final : public FLevelDBStorageEngine {
public:
    using FLevelDBStorageEngine::FLevelDBStorageEngine;
    bool updateServerCache(const FNodePtr& n, const FPath& p, bool merge) override {
        return failServerWrites ? false : FLevelDBStorageEngine::updateServerCache(n, p, merge);
    }
    bool saveUserOverwrite(const FNodePtr& n, const FPath& p, uint64_t id) override {
        return failUserWrites ? false : FLevelDBStorageEngine::saveUserOverwrite(n, p, id);
    }
    bool failServerWrites = false;
    bool failUserWrites = false;
};

class TrackedQueriesTest : public ::testing::Test {
protected:
    std::shared_ptr<FailingEngine> engine() {
        if (!engine_) engine_ = std::make_shared<FailingEngine>("s/h_n");
        return engine_;
    }
    std::unique_ptr<FTrackedQueryManager> manager() {
        return std::make_unique<FTrackedQueryManager>(engine(), clock_);
    }
    std::shared_ptr<FDiskPersistenceManager> persistence(uint64_t maxSize = 1024 * 1024) {
        return std::make_shared<FDiskPersistenceManager>(engine(), std::make_shared<FLRUCachePolicy>(maxSize), clock_);
    }

    ns::testing::TempSandbox sandbox_;
    std::shared_ptr<SetClock> clock_ = std::make_shared<SetClock>();
    std::shared_ptr<FailingEngine> engine_;
};

TEST_F(TrackedQueriesTest, IdsStartAtZeroAndContinueAfterTheLargestStored) {
    auto fresh = manager();
    fresh->setQueryActive(defaultAt("/a"));
    fresh->setQueryActive(limitedAt("/a"));
    EXPECT_EQ(fresh->findTrackedQuery(defaultAt("/a"))->queryId(), 0u);
    EXPECT_EQ(fresh->findTrackedQuery(limitedAt("/a"))->queryId(), 1u);
    // A query that loads all data shares the default query's record.
    FQuerySpec ordered(FPath("/a"), FQueryParams::defaultInstance()->orderBy(FIndex::indexFromQueryDefinition(".key")));
    EXPECT_EQ(fresh->findTrackedQuery(ordered)->queryId(), 0u);

    engine()->saveTrackedQuery(FTrackedQuery(3, defaultAt("/x"), 1, false));
    engine()->saveTrackedQuery(FTrackedQuery(7, defaultAt("/y"), 1, false));
    auto reloaded = manager();
    reloaded->setQueryActive(defaultAt("/z"));
    EXPECT_EQ(reloaded->findTrackedQuery(defaultAt("/z"))->queryId(), 8u);
}

TEST_F(TrackedQueriesTest, ARecordLeftActiveIsStoredBackInactiveAtStart) {
    clock_->now = 10;
    manager()->setQueryActive(defaultAt("/a"));
    clock_->now = 55;
    auto restarted = manager();
    FTrackedQuery record = *restarted->findTrackedQuery(defaultAt("/a"));
    EXPECT_FALSE(record.isActive());
    EXPECT_EQ(record.lastUse(), 55);
    EXPECT_EQ(engine()->loadTrackedQueries().at(0), record);
}

TEST_F(TrackedQueriesTest, CompletenessFollowsDefaultQueriesAtAncestors) {
    auto tracked = manager();
    auto capture = ns::SystemLog::capture();
    EXPECT_FALSE(tracked->setQueryComplete(limitedAt("/a/b")));
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[I-RDB081002] Trying to set a query complete that is not tracked!"));
    EXPECT_TRUE(tracked->knownCompleteChildrenAtPath(FPath("/a")).empty());

    tracked->setQueryActive(defaultAt("/a"));
    EXPECT_FALSE(tracked->isQueryComplete(limitedAt("/a/b")));
    tracked->setQueryComplete(defaultAt("/a"));
    EXPECT_TRUE(tracked->isQueryComplete(limitedAt("/a/b")));  // no record of its own needed
    EXPECT_TRUE(tracked->hasActiveDefaultQueryAtPath(FPath("/a/b/c")));
    EXPECT_FALSE(tracked->hasActiveDefaultQueryAtPath(FPath("/b")));
    EXPECT_EQ(tracked->knownCompleteChildrenAtPath(FPath::empty()), std::set<std::string>{"a"});
}

TEST_F(TrackedQueriesTest, PruningForgetsTheLeastRecentlyUsedInactiveQueriesOnly) {
    FLRUCachePolicy policy(1024);
    auto tracked = manager();
    EXPECT_EQ(tracked->numberOfQueriesToPrune(policy, 10), 2u);
    EXPECT_EQ(tracked->numberOfQueriesToPrune(policy, 1001), 201u);
    EXPECT_EQ(tracked->numberOfQueriesToPrune(policy, 2000), 1000u);
    EXPECT_EQ(tracked->numberOfQueriesToPrune(policy, 3), 1u);

    const char* paths[] = {"/q10", "/q20", "/q30", "/q40", "/q50"};
    for (int i = 0; i < 5; ++i) {
        clock_->now = 10.0 * (i + 1);
        tracked->setQueryInactive(defaultAt(paths[i]));
    }
    tracked->setQueryActive(defaultAt("/live"));
    EXPECT_EQ(tracked->numberOfPrunableQueries(), 5u);

    FPruneForest forest = tracked->pruneOldQueries(policy);
    EXPECT_TRUE(forest.shouldPruneUnkeptDescendantsAtPath(FPath("/q10/x")));
    for (const char* kept : {"/q20", "/q30", "/q40", "/q50", "/live"}) {
        EXPECT_TRUE(forest.shouldKeepPath(FPath(kept))) << kept;
    }
    EXPECT_FALSE(tracked->findTrackedQuery(defaultAt("/q10")));
    EXPECT_EQ(engine()->loadTrackedQueries().size(), 5u);
    tracked->verifyCache();
}

TEST_F(TrackedQueriesTest, ServerDataMarksQueriesCompleteOnlyOnceStored) {
    auto cache = persistence();
    cache->setQueryActive(limitedAt("/a/b"));
    cache->setQueryActive(defaultAt("/a"));
    cache->setQueryActive(defaultAt("/c"));

    engine()->failServerWrites = true;
    cache->updateServerCacheWithNode(node(R"({"b": {"x": 1}})"), defaultAt("/a"));
    cache->updateServerCacheWithNode(node("1"), defaultAt("/c"));
    EXPECT_FALSE(cache->trackedQueryManager()->isQueryComplete(limitedAt("/a/b")));
    EXPECT_FALSE(cache->trackedQueryManager()->isQueryComplete(defaultAt("/c")));

    engine()->failServerWrites = false;
    cache->updateServerCacheWithNode(node(R"({"b": {"x": 1}})"), defaultAt("/a"));
    EXPECT_TRUE(cache->trackedQueryManager()->findTrackedQuery(limitedAt("/a/b"))->isComplete());
    // A restart reads the same answer back.
    auto restarted = persistence();
    FCacheNode cached = restarted->serverCacheForQuery(defaultAt("/a"));
    EXPECT_TRUE(cached.isFullyInitialized());
    EXPECT_TRUE(cached.node()->isEqual(*node(R"({"b": {"x": 1}})")));
    EXPECT_FALSE(restarted->serverCacheForQuery(defaultAt("/c")).isFullyInitialized());
}

TEST_F(TrackedQueriesTest, AUserWriteThatCannotBeStoredIsReported) {
    auto cache = persistence();
    engine()->failUserWrites = true;
    auto capture = ns::SystemLog::capture();
    cache->saveUserOverwrite(node("1"), FPath("/a"), 4);
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[I-RDB078005] Failed to persist write 4 at /a; it is still sent to the server"));
}

TEST_F(TrackedQueriesTest, FilteredQueriesReadOnlyTheirTrackedChildren) {
    auto cache = persistence();
    FQuerySpec limited = limitedAt("/list");
    cache->setQueryActive(limited);
    cache->updateServerCacheWithNode(node(R"({"a": 1, "b": 2})"), limited);
    cache->setTrackedQueryKeys({"a", "b"}, limited);
    cache->updateServerCacheWithMerge(FCompoundWrite::compoundWriteWithValueDictionary({{"c", ns::Value(3)}}),
                                      FPath("/list"));

    FCacheNode complete = cache->serverCacheForQuery(limited);
    EXPECT_TRUE(complete.isFullyInitialized());
    EXPECT_TRUE(complete.isFiltered());
    EXPECT_TRUE(complete.node()->isEqual(*node(R"({"a": 1, "b": 2})")));

    FCacheNode other = cache->serverCacheForQuery(limitedAt("/list", 5));
    EXPECT_FALSE(other.isFullyInitialized());
    EXPECT_TRUE(other.isFiltered());
    EXPECT_TRUE(other.node()->isEqual(*node(R"({"a": 1, "b": 2})")));
}

TEST_F(TrackedQueriesTest, AcknowledgedWritesUnderAnActiveDefaultQueryStayOutOfTheServerCache) {
    auto cache = persistence();
    cache->setQueryActive(defaultAt("/a"));
    cache->applyUserWrite(node("1"), FPath("/a/b"));
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/a"))->isEmpty());

    cache->applyUserMergeAtPath(FCompoundWrite::compoundWriteWithValueDictionary({{"x/y", ns::Value(2)}}),
                                FPath("/w"));
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/w/x/y"))->isEqual(*node("2")));
    EXPECT_TRUE(cache->trackedQueryManager()->isQueryComplete(defaultAt("/w/x/y")));
}

TEST_F(TrackedQueriesTest, TheCacheIsMeasuredOnThe1001stUpdateAndPrunedPastItsLimit) {
    auto cache = persistence(1024 * 1024);
    const std::string big(2000, 'x');
    // 600 inactive queries with 2 KB each (1.2 MB, over the 1 MB limit) and
    // one active query.
    for (int i = 0; i < 600; ++i) {
        clock_->now = 1000 + i;
        FQuerySpec q = defaultAt(("/old/" + std::to_string(i)).c_str());
        cache->setQueryActive(q);
        cache->updateServerCacheWithNode(FSnapshotUtilities::nodeFrom(ns::Value(big)), q);
        cache->setQueryInactive(q);
    }
    cache->setQueryActive(defaultAt("/live"));
    cache->updateServerCacheWithNode(node(R"({"keep": "me"})"), defaultAt("/live"));
    for (int i = 0; i < 399; ++i) cache->updateServerCacheWithMerge(FCompoundWrite(), FPath("/noop"));
    EXPECT_EQ(cache->serverCacheUpdatesSinceLastPruneCheck(), 1000u);
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/old/0"))->isLeafNode());

    cache->updateServerCacheWithMerge(FCompoundWrite(), FPath("/noop"));  // the 1001st
    EXPECT_EQ(cache->serverCacheUpdatesSinceLastPruneCheck(), 0u);
    // Each round drops a fifth (rounded up) of the inactive queries, oldest
    // first, until the estimate is back under the limit.
    const uint64_t size = engine()->serverCacheEstimatedSizeInBytes();
    EXPECT_LE(size, 1024u * 1024u);
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/old/0"))->isEmpty());
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/old/599"))->isLeafNode());
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/live"))->isEqual(*node(R"({"keep": "me"})")));
    EXPECT_EQ(size, 4u /* "me" */ + 2002u * cache->trackedQueryManager()->numberOfPrunableQueries());
    EXPECT_EQ(cache->trackedQueryManager()->numberOfPrunableQueries(), 600u - 120u);
}

TEST_F(TrackedQueriesTest, ARoundThatFreesNothingEndsTheCheck) {
    auto cache = persistence(1024 * 1024);
    FQuerySpec live = defaultAt("/live");
    cache->setQueryActive(live);
    cache->updateServerCacheWithNode(FSnapshotUtilities::nodeFrom(ns::Value(std::string(1100 * 1024, 'x'))), live);
    for (int i = 0; i < 1000; ++i) cache->updateServerCacheWithMerge(FCompoundWrite(), FPath("/noop"));
    EXPECT_EQ(cache->serverCacheUpdatesSinceLastPruneCheck(), 0u);
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/live"))->isLeafNode());

    FLRUCachePolicy policy(100);
    EXPECT_FALSE(policy.shouldPruneCacheWithSize(100, 0));
    EXPECT_TRUE(policy.shouldPruneCacheWithSize(101, 0));
    EXPECT_TRUE(policy.shouldPruneCacheWithSize(0, 1001));
    EXPECT_FALSE(policy.shouldCheckCacheSize(1000));
}

}  // namespace
