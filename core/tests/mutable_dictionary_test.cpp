#include <gtest/gtest.h>

#include <thread>

#include "core/QRVMutableDictionary.h"

TEST(QRVMutableDictionary, WritesFromManyThreadsAreAllSeenByALaterRead) {
    QRVMutableDictionary dict;
    constexpr int kThreads = 8, kKeys = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&dict, t] {
            for (int i = 0; i < kKeys; ++i) dict.setObject(t * kKeys + i, "k" + std::to_string(t) + "-" + std::to_string(i));
        });
    }
    for (auto& th : threads) th.join();

    // Read from yet another thread: the queue orders it after every write.
    ns::Dictionary seen;
    std::thread reader([&] { seen = dict.dictionary(); });
    reader.join();
    ASSERT_EQ(seen.size(), size_t(kThreads * kKeys));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kKeys; ++i) {
            EXPECT_EQ(seen["k" + std::to_string(t) + "-" + std::to_string(i)].asInt(), t * kKeys + i);
        }
    }
}

TEST(QRVMutableDictionary, WritesApplyInCallOrder) {
    QRVMutableDictionary dict;
    dict.setObject("a", "key");
    dict.removeObjectForKey("key");
    dict.setObject("b", "key");
    dict.setObject("x", "other");
    dict.setObject(ns::Value(), "other");  // null removes, as nil would
    EXPECT_EQ(dict["key"].asString(), "b");
    EXPECT_TRUE(dict.objectForKey("other").isNull());
    dict.removeAllObjects();
    EXPECT_EQ(dict.count(), 0u);
}

TEST(QRVMutableDictionary, DictionaryIsASnapshot) {
    QRVMutableDictionary dict;
    dict.setObject(1, "one");
    auto snapshot = dict.dictionary();
    dict.setObject(2, "two");
    EXPECT_EQ(snapshot.size(), 1u);
    EXPECT_EQ(dict.count(), 2u);
}
