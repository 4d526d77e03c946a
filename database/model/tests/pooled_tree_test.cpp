#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "database/model/FChildKey.h"
#include "database/model/FImmutableSortedDictionary.h"
#include "database/model/FSlotPool.h"
#include "database/model/FUtilities.h"

namespace {

struct IntCompare {
    int operator()(int a, int b) const { return a < b ? -1 : (a > b ? 1 : 0); }
};
// Small entries: its tree nodes come from the cache-line pool, built in runs.
using PooledDict = FImmutableSortedDictionary<int, int64_t, IntCompare>;

std::map<int, int64_t> contents(const PooledDict& d) {
    std::map<int, int64_t> out;
    d.forEach([&](int k, int64_t v) {
        out.emplace(k, v);
        return true;
    });
    return out;
}

// Trees built at once of sizes where their runs end in every way, then
// values replaced at random keys: every version keeps its entries and shape.
TEST(PooledTree, BuiltTreesKeepEveryVersionAcrossReplaces) {
    std::mt19937 rng(5);
    for (int n : {129, 130, 200, 511, 1000, 3280, 9000}) {
        std::vector<PooledDict::Entry> entries;
        std::map<int, int64_t> reference;
        for (int i = 0; i < n; ++i) {
            entries.emplace_back(i * 3, i);
            reference.emplace(i * 3, i);
        }
        PooledDict d = PooledDict::fromSortedEntries(entries);
        ASSERT_TRUE(d.checkInvariants()) << n;
        std::vector<std::pair<PooledDict, std::map<int, int64_t>>> history{{d, reference}};
        for (int step = 0; step < 300; ++step) {
            const int key = int(rng() % unsigned(n)) * 3;
            d = d.insert(key, -step);
            reference[key] = -step;
            if (step % 50 == 0) history.emplace_back(d, reference);
        }
        ASSERT_TRUE(d.checkInvariants()) << n;
        EXPECT_EQ(d.count(), size_t(n));
        EXPECT_EQ(d.find(1), nullptr);
        for (const auto& [version, expected] : history) EXPECT_EQ(contents(version), expected) << n;
    }
}

// New keys, replaced values and removals in trees built at once: an insert
// of a new key rebalances the path it copied on its way down, and neither
// that nor a replace may reach into a version made before.
TEST(PooledTree, EveryKindOfChangeKeepsEarlierVersions) {
    struct Case {
        int n;
        int newEvery;     // every so many steps a key not yet present
        int removeEvery;  // every so many steps a removal
    };
    std::mt19937 rng(11);
    for (Case c : {Case{129, 2, 5}, Case{1000, 3, 4}, Case{9000, 2, 0}, Case{3280, 0, 3}}) {
        std::vector<PooledDict::Entry> entries;
        std::map<int, int64_t> reference;
        for (int i = 0; i < c.n; ++i) {
            entries.emplace_back(i * 3, i);
            reference.emplace(i * 3, i);
        }
        PooledDict d = PooledDict::fromSortedEntries(entries);
        std::vector<std::pair<PooledDict, std::map<int, int64_t>>> history{{d, reference}};
        for (int step = 1; step <= 600; ++step) {
            const int slot = int(rng() % unsigned(c.n));
            if (c.removeEvery && step % c.removeEvery == 0) {
                d = d.remove(slot * 3);
                reference.erase(slot * 3);
            } else {
                const int key = c.newEvery && step % c.newEvery == 0 ? slot * 3 + 1 + step % 2 : slot * 3;
                d = d.insert(key, -step);
                reference[key] = -step;
            }
            ASSERT_EQ(d.count(), reference.size()) << c.n << " step " << step;
            if (step % 60 == 0) {
                ASSERT_TRUE(d.checkInvariants()) << c.n << " step " << step;
                history.emplace_back(d, reference);
            }
        }
        for (const auto& [version, expected] : history) {
            EXPECT_TRUE(version.checkInvariants()) << c.n;
            EXPECT_EQ(contents(version), expected) << c.n;
        }
    }
}

// Keys alike in their first eight bytes, so every descent compares their
// text; removals move keys between nodes, and each node must compare its own.
TEST(PooledTree, KeysComparedByTextThroughRemovals) {
    using TextDict = FImmutableSortedDictionary<FChildKey, int64_t, FKeyComparator>;
    auto key = [](int i) { return "shared-prefix-" + std::to_string(100000 + i); };
    std::vector<TextDict::Entry> entries;
    for (int i = 0; i < 2000; ++i) entries.emplace_back(FChildKey::makeUnshared(key(i)), i);
    TextDict d = TextDict::fromSortedEntries(entries);
    std::set<int> present;
    for (int i = 0; i < 2000; ++i) present.insert(i);
    std::mt19937 rng(3);
    for (int step = 0; step < 1500; ++step) {
        const int i = int(rng() % 2000);
        d = step % 3 == 0 ? d.insert(key(i), -i) : d.remove(key(i));
        if (step % 3 == 0) {
            present.insert(i);
        } else {
            present.erase(i);
        }
    }
    ASSERT_TRUE(d.checkInvariants());
    for (int i = 0; i < 2000; ++i) {
        const int64_t* v = d.find(key(i));
        ASSERT_EQ(v != nullptr, present.count(i) == 1) << i;
        if (v) {
            EXPECT_EQ(std::abs(*v), i);
        }
    }
}

using Pool = FSlotPool<64, 64>;

// Runs are aligned to their size and their slots are independent ones:
// freed alone, each is handed out again.
TEST(PooledTree, RunsAreAlignedAndFreedSlotBySlot) {
    struct Case {
        size_t count;
        bool given;
    };
    for (Case c : {Case{1, true}, Case{4, true}, Case{16, true}, Case{3, false}, Case{32, false}, Case{0, false}}) {
        char* run = static_cast<char*>(Pool::allocateRun(c.count));
        ASSERT_EQ(run != nullptr, c.given) << c.count;
        if (!run) continue;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(run) % (64 * c.count), 0u) << c.count;
        std::set<void*> slots;
        for (size_t i = 0; i < c.count; ++i) {
            std::memset(run + 64 * i, int(i), 64);
            slots.insert(run + 64 * i);
        }
        for (void* s : slots) Pool::deallocate(s);
        std::set<void*> again;
        for (size_t i = 0; i < c.count; ++i) again.insert(Pool::allocate());
        EXPECT_EQ(again, slots) << c.count;
        for (void* s : again) Pool::deallocate(s);
    }
}

// With many slots free, runs are refused so the free ones are used first.
TEST(PooledTree, NoRunWhileManySlotsAreFree) {
    using Large = FSlotPool<128, 64>;
    std::vector<void*> slots;
    for (int i = 0; i < 20000; ++i) slots.push_back(Large::allocate());
    for (void* s : slots) Large::deallocate(s);
    EXPECT_EQ(Large::allocateRun(16), nullptr);
}

// Slots freed on one thread reach another, in whole chains and in the
// freeing thread's partial lists once it ends: none is lost. (A taker gets
// up to a batch more than it asked, so the check takes two batches more.)
TEST(PooledTree, SlotsFreedOnAnotherThreadAreAllReused) {
    using Moved = FSlotPool<192, 64>;
    for (const size_t n : {size_t(1), size_t(64), size_t(65), size_t(129), size_t(5000)}) {
        std::vector<void*> slots(n);
        std::thread([&] {
            for (void*& s : slots) s = Moved::allocate();
        }).join();
        std::thread([&] {
            for (void* s : slots) Moved::deallocate(s);
        }).join();
        std::vector<void*> again(n + 128);
        std::thread([&] {
            for (void*& s : again) s = Moved::allocate();
        }).join();
        const std::set<void*> taken(again.begin(), again.end()), freed(slots.begin(), slots.end());
        EXPECT_TRUE(std::includes(taken.begin(), taken.end(), freed.begin(), freed.end())) << n;
        std::thread([&] {
            for (void* s : again) Moved::deallocate(s);
        }).join();
    }
}

}  // namespace
