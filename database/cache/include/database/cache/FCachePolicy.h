#pragma once
// When the cache is measured and how much of it a pruning round forgets.

#include <cstdint>
#include <limits>
#include <memory>

class FCachePolicy {
public:
    virtual ~FCachePolicy() = default;
    virtual bool shouldPruneCacheWithSize(uint64_t cacheSize, uint64_t numberOfTrackedQueries) const = 0;
    virtual bool shouldCheckCacheSize(uint64_t serverUpdatesSinceLastCheck) const = 0;
    virtual float percentOfQueriesToPruneAtOnce() const = 0;
    virtual uint64_t maxNumberOfQueriesToKeep() const = 0;
};

using FCachePolicyPtr = std::shared_ptr<FCachePolicy>;

// Prunes the least recently used inactive queries once the cache passes its
// size or holds more than 1000 prunable queries; measures every 1001st
// server update.
class FLRUCachePolicy final : public FCachePolicy {
public:
    explicit FLRUCachePolicy(uint64_t maxSize) : maxSize_(maxSize) {}
    uint64_t maxSize() const { return maxSize_; }
    void setMaxSize(uint64_t maxSize) { maxSize_ = maxSize; }

    bool shouldPruneCacheWithSize(uint64_t cacheSize, uint64_t numberOfTrackedQueries) const override {
        return cacheSize > maxSize_ || numberOfTrackedQueries > kMaxNumberOfPrunableQueriesToKeep;
    }
    bool shouldCheckCacheSize(uint64_t serverUpdatesSinceLastCheck) const override {
        return serverUpdatesSinceLastCheck > kServerUpdatesBetweenCacheSizeChecks;
    }
    float percentOfQueriesToPruneAtOnce() const override { return kPercentOfQueriesToPruneAtOnce; }
    uint64_t maxNumberOfQueriesToKeep() const override { return kMaxNumberOfPrunableQueriesToKeep; }

    static constexpr uint64_t kServerUpdatesBetweenCacheSizeChecks = 1000;
    static constexpr uint64_t kMaxNumberOfPrunableQueriesToKeep = 1000;
    static constexpr float kPercentOfQueriesToPruneAtOnce = 0.2f;

private:
    uint64_t maxSize_;
};

// Never measures, never prunes.
class FNoCachePolicy final : public FCachePolicy {
public:
    static std::shared_ptr<FNoCachePolicy> noCachePolicy() { return std::make_shared<FNoCachePolicy>(); }
    bool shouldPruneCacheWithSize(uint64_t, uint64_t) const override { return false; }
    bool shouldCheckCacheSize(uint64_t) const override { return false; }
    float percentOfQueriesToPruneAtOnce() const override { return 0.0f; }
    uint64_t maxNumberOfQueriesToKeep() const override { return std::numeric_limits<uint64_t>::max(); }
};
