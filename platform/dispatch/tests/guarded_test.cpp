#include "platform/guarded.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Guarded, ReadsAndWritesTheWholeValue) {
    struct Case {
        const char* name;
        std::function<std::string(ns::Guarded<std::string>&)> run;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"starts with the value given", [](auto& g) { return g.get(); }, "start"},
        {"set replaces it", [](auto& g) { g.set("other"); return g.get(); }, "other"},
        {"with changes it in place", [](auto& g) { g.with([](std::string& s) { s += "+"; }); return g.get(); },
         "start+"},
        {"with gives back what it ran", [](auto& g) { return std::to_string(g.with([](auto& s) { return s.size(); })); },
         "5"},
        {"a copy read earlier keeps its text", [](auto& g) { auto before = g.get(); g.set("later"); return before; },
         "start"},
    };
    for (const auto& c : cases) {
        ns::Guarded<std::string> guarded("start");
        EXPECT_EQ(c.run(guarded), c.expected) << c.name;
    }
}

TEST(Guarded, ReplacedValueDiesOutsideTheLock) {
    // The old value's destructor reads the same Guarded, as a released
    // block that captured its owner would; under the lock it would hang.
    ns::Guarded<std::shared_ptr<int>> guarded;
    int seenByDestructor = 0;
    guarded.set(std::shared_ptr<int>(new int(2), [&](int* p) {
        seenByDestructor = *guarded.get();
        delete p;
    }));
    guarded.set(std::make_shared<int>(3));
    EXPECT_EQ(seenByDestructor, 3);
}

TEST(Guarded, ConcurrentUpdatesAreNotLost) {
    ns::Guarded<long> counter(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) counter.with([](long& v) { ++v; });
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter.get(), 80000);
}

}  // namespace
