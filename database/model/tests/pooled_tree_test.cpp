#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "database/model/FImmutableSortedDictionary.h"
#include "database/model/FSlotPool.h"

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

}  // namespace
