#include "platform/key_value_observing.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace {

class Target : public ns::Object {
public:
    std::string className() const override { return "KVOTarget"; }
};

struct Seen {
    std::string keyPath;
    ns::Dictionary change;
    const void* context;
};

class Recorder : public ns::KeyValueObserver {
public:
    void observeValueForKeyPath(const std::string& keyPath, const ns::ObjectPtr&, const ns::Dictionary& change,
                                const void* context) override {
        seen.push_back({keyPath, change, context});
    }
    std::vector<Seen> seen;
};

int kContextA;
int kContextB;

}  // namespace

TEST(KeyValueObserving, ObserversGetTheValuesTheyAskedForOnTheirKeyPath) {
    auto target = std::make_shared<Target>();
    auto both = std::make_shared<Recorder>();
    auto onlyNew = std::make_shared<Recorder>();
    ns::KeyValueObserving::addObserver(target, both, "delegate",
                                       ns::kKeyValueObservingOptionOld | ns::kKeyValueObservingOptionNew, &kContextA);
    ns::KeyValueObserving::addObserver(target, onlyNew, "delegate", ns::kKeyValueObservingOptionNew, &kContextB);
    ns::KeyValueObserving::didChangeValueForKey(target, "other", ns::Value(), ns::Value(1));
    ns::KeyValueObserving::didChangeValueForKey(target, "delegate", ns::Value(), ns::Value("x"));

    ASSERT_EQ(both->seen.size(), 1u);
    EXPECT_EQ(both->seen[0].context, &kContextA);
    EXPECT_TRUE(both->seen[0].change.at(ns::kKeyValueChangeOldKey).isNull());
    EXPECT_EQ(both->seen[0].change.at(ns::kKeyValueChangeNewKey), ns::Value("x"));
    ASSERT_EQ(onlyNew->seen.size(), 1u);
    EXPECT_EQ(onlyNew->seen[0].change.count(ns::kKeyValueChangeOldKey), 0u);
    EXPECT_EQ(onlyNew->seen[0].context, &kContextB);
}

TEST(KeyValueObserving, RemovalNeedsAMatchingObservationAndGoneObserversAreDropped) {
    auto target = std::make_shared<Target>();
    auto recorder = std::make_shared<Recorder>();
    ns::KeyValueObserving::addObserver(target, recorder, "delegate", ns::kKeyValueObservingOptionNew, &kContextA);
    try {
        ns::KeyValueObserving::removeObserver(*target, recorder.get(), "delegate", &kContextB);
        ADD_FAILURE() << "a removal with another context was accepted";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), ns::kRangeException);
    }
    EXPECT_EQ(ns::KeyValueObserving::observationCount(*target, "delegate"), 1u);
    ns::KeyValueObserving::removeObserver(*target, recorder.get(), "delegate", &kContextA);
    ns::KeyValueObserving::didChangeValueForKey(target, "delegate", ns::Value(), ns::Value(2));
    EXPECT_TRUE(recorder->seen.empty());

    {
        auto shortLived = std::make_shared<Recorder>();
        ns::KeyValueObserving::addObserver(target, shortLived, "delegate", ns::kKeyValueObservingOptionNew, nullptr);
    }
    ns::KeyValueObserving::didChangeValueForKey(target, "delegate", ns::Value(), ns::Value(3));
    EXPECT_EQ(ns::KeyValueObserving::observationCount(*target, "delegate"), 0u);
}
