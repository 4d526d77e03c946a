#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "database/model/FImmutableSortedDictionary.h"
#include "database/model/FUtilities.h"

namespace {

struct IntCompare {
    int operator()(int a, int b) const { return a < b ? -1 : (a > b ? 1 : 0); }
};
using IntDict = FImmutableSortedDictionary<int, std::string, IntCompare>;
using KeyDict = FImmutableSortedDictionary<std::string, int, FKeyComparator>;

std::vector<std::pair<int, std::string>> contents(const IntDict& d) {
    std::vector<std::pair<int, std::string>> out;
    d.forEach([&](int k, const std::string& v) {
        out.emplace_back(k, v);
        return true;
    });
    return out;
}

std::vector<std::pair<int, std::string>> contents(const std::map<int, std::string>& m) {
    return {m.begin(), m.end()};
}

// Random inserts and removals against std::map, across the array/tree limit,
// checking the red-black invariants and that earlier versions never change.
TEST(SortedDictionary, MatchesStdMapAndKeepsOldVersions) {
    std::mt19937 rng(42);
    for (int keyRange : {8, 40, 400, 5000}) {
        IntDict d;
        std::map<int, std::string> reference;
        std::vector<std::pair<IntDict, std::map<int, std::string>>> history;
        for (int step = 0; step < 3000; ++step) {
            int key = int(rng() % unsigned(keyRange));
            if (rng() % 3 == 0) {
                d = d.remove(key);
                reference.erase(key);
            } else {
                std::string value = "v" + std::to_string(step);
                d = d.insert(key, value);
                reference[key] = value;
            }
            ASSERT_EQ(d.count(), reference.size());
            ASSERT_TRUE(d.checkInvariants()) << "range " << keyRange << " step " << step;
            if (step % 97 == 0) history.emplace_back(d, reference);
        }
        EXPECT_EQ(contents(d), contents(reference));
        for (const auto& [old, oldRef] : history) {
            EXPECT_EQ(contents(old), contents(oldRef));
            EXPECT_TRUE(old.checkInvariants());
        }
        for (const auto& [k, v] : reference) {
            const std::string* found = d.find(k);
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(*found, v);
        }
        EXPECT_EQ(d.find(keyRange + 1), nullptr);
    }
}

TEST(SortedDictionary, RemovingEverythingAndAbsentKeys) {
    IntDict d;
    for (int i = 0; i < 300; ++i) d = d.insert(i, std::to_string(i));
    EXPECT_FALSE(d.isArrayForm());
    IntDict same = d.remove(1000);
    EXPECT_EQ(same.count(), 300u);
    for (int i = 299; i >= 0; --i) {
        d = d.remove(i);
        ASSERT_TRUE(d.checkInvariants());
    }
    EXPECT_TRUE(d.isEmpty());
    EXPECT_EQ(d.minEntry(), nullptr);
    EXPECT_FALSE(d.maxKey().has_value());
}

TEST(SortedDictionary, BulkBuildIsValidForEverySize) {
    for (size_t n = 0; n < 700; ++n) {
        std::vector<IntDict::Entry> entries;
        for (size_t i = 0; i < n; ++i) entries.emplace_back(int(i * 2), std::to_string(i));
        IntDict d = IntDict::fromSortedEntries(entries);
        ASSERT_TRUE(d.checkInvariants()) << n;
        ASSERT_EQ(d.count(), n);
        ASSERT_EQ(d.isArrayForm(), n > 0 && n <= IntDict::kArrayLimit);
        // Still a valid tree after an update of the bulk-built form.
        IntDict e = d.insert(1, "x").remove(0);
        ASSERT_TRUE(e.checkInvariants()) << n;
    }
}

TEST(SortedDictionary, NeighboursAndIterators) {
    for (int n : {10, 500}) {
        IntDict d;
        for (int i = 0; i < n; ++i) d = d.insert(i * 10, std::to_string(i));
        EXPECT_EQ(*d.minKey(), 0);
        EXPECT_EQ(*d.maxKey(), (n - 1) * 10);
        EXPECT_FALSE(d.predecessorKey(0).has_value());
        EXPECT_EQ(*d.predecessorKey(50), 40);
        EXPECT_EQ(*d.predecessorKey(55), 50);

        std::vector<int> reverse;
        for (auto it = d.iterator(true); it.valid(); it.next()) reverse.push_back(it.key());
        ASSERT_EQ(reverse.size(), size_t(n));
        EXPECT_EQ(reverse.front(), (n - 1) * 10);
        EXPECT_EQ(reverse.back(), 0);

        auto from = d.iteratorFrom(35);
        ASSERT_TRUE(from.valid());
        EXPECT_EQ(from.key(), 40);
        auto exact = d.iteratorFrom(40);
        EXPECT_EQ(exact.key(), 40);
        auto back = d.iteratorFrom(35, true);
        ASSERT_TRUE(back.valid());
        EXPECT_EQ(back.key(), 30);
        back.next();
        EXPECT_EQ(back.key(), 20);
        EXPECT_FALSE(d.iteratorFrom(-1, true).valid());
        EXPECT_FALSE(d.iteratorFrom(n * 10).valid());

        // The iterator keeps its version alive and unchanged.
        auto it = d.iterator();
        d = IntDict();
        int count = 0;
        for (; it.valid(); it.next()) ++count;
        EXPECT_EQ(count, n);

        std::vector<int> stopped;
        IntDict e;
        for (int i = 0; i < n; ++i) e = e.insert(i, "");
        e.enumerate([&](int k, const std::string&, bool& stop) {
            stopped.push_back(k);
            stop = k == 3;
        });
        EXPECT_EQ(stopped, (std::vector<int>{0, 1, 2, 3}));
    }
}

TEST(SortedDictionary, KeyOrderedEntriesFromAnyOrder) {
    KeyDict d = KeyDict::fromEntries({{"b", 1}, {"10", 2}, {"a", 3}, {"2", 4}, {"b", 5}});
    std::vector<std::string> keys;
    for (const auto& [k, v] : d) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"2", "10", "a", "b"}));
    EXPECT_EQ(*d.find("b"), 5);  // the later entry wins
}

// Keys whose order prefixes could mislead: text that shares its first eight
// bytes, zero bytes, non-ASCII text (UTF-16 order is not UTF-8's), integers
// and sentinels. A tree of them (with fillers past the array limit) must hold
// them in key order and find each one.
TEST(SortedDictionary, TreeOrderOfKeysWithMisleadingPrefixes) {
    const std::vector<std::string> tricky = {
        "", "a", std::string("a\0", 2), std::string("a\0b", 3), "abcdefg", "abcdefgh", "abcdefgh1", "abcdefgi",
        "abcdefgh\xc3\xa9", "\xc3\xa9", "\xef\xbc\xa1", "\xf0\x9f\x98\x80", "5", "-5", "12", "007", "-",
        "123456789012", "12345678901", "[MIN_NAME]", "[MAX_NAME]", "[", "Z", "z", "_", "~", "-0Abcdefghij",
        "0", "1", "-1", "2147483647", "-2147483648", "2147483648", "-2147483649", std::string("\0\0\0\0\0\0\0\x01", 8),
        "1a", "-1a", "99999999999",
    };
    for (const auto& a : tricky) {
        for (const auto& b : tricky) {
            const uint64_t pa = FKeyComparator::orderPrefix(a), pb = FKeyComparator::orderPrefix(b);
            if (pa == 0 || pb == 0 || pa == pb) continue;
            EXPECT_EQ(pa < pb, FUtilities::compareKey(a, b) < 0) << a << " / " << b;
        }
    }
    std::vector<std::string> keys = tricky;
    for (int i = 0; i < 300; ++i) keys.push_back("filler" + std::to_string(i * 7919 % 1000));
    std::vector<std::string> shuffled = keys;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
    KeyDict d;
    for (size_t i = 0; i < shuffled.size(); ++i) d = d.insert(shuffled[i], int(i));
    d = d.remove("abcdefgh").insert("abcdefgh", -1);
    ASSERT_FALSE(d.isArrayForm());
    ASSERT_TRUE(d.checkInvariants());
    std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) { return FUtilities::compareKey(a, b) < 0; });
    std::vector<std::string> inOrder;
    for (const auto& [k, v] : d) inOrder.push_back(k);
    EXPECT_EQ(inOrder, keys);
    for (const auto& k : keys) EXPECT_NE(d.find(k), nullptr) << k;
    for (const char* absent : {"abcdefgh2", "ab", "a\x01", "filler", "6", "\xf0\x9f\x98\x81"}) {
        EXPECT_EQ(d.find(std::string(absent)), nullptr) << absent;
    }
}

// Versions are shared between threads: readers of one version and writers
// making new versions from it must not disturb each other.
TEST(SortedDictionary, VersionsSharedAcrossThreads) {
    IntDict base;
    for (int i = 0; i < 1000; ++i) base = base.insert(i, std::to_string(i));
    std::vector<std::thread> threads;
    std::atomic<bool> ok{true};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            IntDict mine = base;
            for (int i = 0; i < 500; ++i) {
                mine = mine.insert(1000 + t * 1000 + i, "x").remove(i * 2);
                if (base.count() != 1000 || !base.find(i * 2)) ok = false;
            }
            if (!mine.checkInvariants() || mine.count() != 1000) ok = false;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(base.checkInvariants());
}

TEST(SortedSet, OrderAndNeighbours) {
    using Set = FImmutableSortedSet<int, IntCompare>;
    Set s = Set::fromElements({5, 1, 9, 3});
    EXPECT_EQ(*s.first(), 1);
    EXPECT_EQ(*s.last(), 9);
    EXPECT_EQ(*s.predecessor(5), 3);
    EXPECT_EQ(s.predecessor(1), nullptr);
    Set t = s.remove(3).insert(4);
    EXPECT_EQ(*t.predecessor(5), 4);
    EXPECT_TRUE(s.contains(3));
    EXPECT_FALSE(t.contains(3));
}

}  // namespace
