#include "platform/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "platform/error.h"

using ns::Notification;
using ns::NotificationCenter;

namespace {

class Sender : public ns::Object {};

// Object is not the first base, so its address differs from the object's.
class Mixed : public std::string, public ns::Object {};

// Records notification names; safe to call from any thread.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> names;
    ns::NotificationBlock block(std::string tag = "") {
        return [this, tag](const Notification& n) {
            std::lock_guard lock(mutex);
            names.push_back(tag + n.name);
        };
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(names, {});
    }
};

}  // namespace

TEST(NotificationCenter, DeliversByNameSynchronouslyInRegistrationOrder) {
    NotificationCenter center;
    Recorder rec;
    center.addObserver("Ready", nullptr, nullptr, rec.block("1:"));
    center.addObserver("", nullptr, nullptr, rec.block("all:"));
    center.addObserver("Ready", nullptr, nullptr, rec.block("2:"));
    std::thread::id seenOn;
    ns::Dictionary seenInfo;
    center.addObserver("Other", nullptr, nullptr, [&](const Notification& n) {
        seenOn = std::this_thread::get_id();
        seenInfo = n.userInfo;
    });

    center.post("Ready");
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"1:Ready", "all:Ready", "2:Ready"}));
    center.post("Other", nullptr, {{"key", 3}});
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"all:Other"}));
    EXPECT_EQ(seenOn, std::this_thread::get_id());
    EXPECT_EQ(seenInfo["key"].asInt(), 3);
    EXPECT_THROW(center.addObserver("x", nullptr, nullptr, nullptr), ns::Exception);
}

TEST(NotificationCenter, FiltersBySenderIdentity) {
    NotificationCenter center;
    Recorder rec;
    auto one = std::make_shared<Sender>();
    auto two = std::make_shared<Sender>();
    auto mixed = std::make_shared<Mixed>();
    center.addObserver("Changed", one, nullptr, rec.block("one:"));
    center.addObserver("Changed", static_cast<const void*>(two.get()), nullptr, rec.block("two:"));
    center.addObserver("Changed", mixed.get(), nullptr, rec.block("mixed:"));
    center.addObserver("", nullptr, nullptr, rec.block("any:"));

    ns::ObjectPtr received;
    center.addObserver("Changed", one, nullptr, [&](const Notification& n) { received = n.object; });

    center.post("Changed", one);
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"one:Changed", "any:Changed"}));
    EXPECT_EQ(received, one);
    center.post("Changed", two);
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"two:Changed", "any:Changed"}));
    center.post("Changed", mixed);
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"mixed:Changed", "any:Changed"}));
    center.post("Changed");
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"any:Changed"}));
    // An equal-looking but distinct object is a different sender.
    center.post("Changed", std::make_shared<Sender>());
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"any:Changed"}));
}

TEST(NotificationCenter, QueuedObserversRunOnTheirQueueInOrder) {
    NotificationCenter center;
    auto queue = ns::DispatchQueue::serial("test.notifications");
    std::vector<std::string> order;  // only touched on `queue`
    std::atomic<bool> onQueue{true};
    auto note = [&](std::string tag) {
        return [&, tag](const Notification& n) {
            if (!queue->isCurrent()) onQueue = false;
            order.push_back(tag + n.name + ":" + n.userInfo.at("i").description());
        };
    };
    center.addObserver("Tick", nullptr, queue, note("a"));
    center.addObserver("Tick", nullptr, queue, note("b"));

    queue->suspend();
    center.post("Tick", nullptr, {{"i", 1}});
    center.post("Tick", nullptr, {{"i", 2}});
    std::vector<std::string> delivered;
    queue->resume();
    queue->sync([&] { delivered = order; });
    EXPECT_TRUE(onQueue);
    EXPECT_EQ(delivered, (std::vector<std::string>{"aTick:1", "bTick:1", "aTick:2", "bTick:2"}));
}

TEST(NotificationCenter, QueuedDeliveryIsDroppedAfterRemoval) {
    NotificationCenter center;
    auto queue = ns::DispatchQueue::serial("test.notifications.drop");
    std::atomic<int> calls{0};
    auto token = center.addObserver("Late", nullptr, queue, [&](const Notification&) { calls++; });
    queue->suspend();
    center.post("Late");
    center.removeObserver(token);
    queue->resume();
    queue->sync([] {});
    EXPECT_EQ(calls.load(), 0);
}

TEST(NotificationCenter, RemovalByTokenAndOwner) {
    NotificationCenter center;
    Recorder rec;
    int ownerA = 0, ownerB = 0;
    auto t1 = center.addObserver("N", nullptr, nullptr, rec.block("t1:"));
    center.addObserver("N", nullptr, nullptr, rec.block("a1:"), &ownerA);
    center.addObserver("", nullptr, nullptr, rec.block("a2:"), &ownerA);
    center.addObserver("N", nullptr, nullptr, rec.block("b:"), &ownerB);
    EXPECT_EQ(center.observerCount(), 4u);

    center.removeObserver(t1);
    center.removeObserver(t1);      // already gone
    center.removeObserver(999999);  // never handed out
    center.removeObservers(nullptr);
    center.post("N");
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"a1:N", "a2:N", "b:N"}));

    center.removeObservers(&ownerA);
    EXPECT_EQ(center.observerCount(), 1u);
    center.post("N");
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"b:N"}));
}

TEST(NotificationCenter, RemovalInsideDelivery) {
    NotificationCenter center;
    Recorder rec;
    ns::ObserverToken self = 0, later = 0;
    self = center.addObserver("Once", nullptr, nullptr, [&](const Notification& n) {
        rec.block("self:")(n);
        center.removeObserver(self);   // itself, while running
        center.removeObserver(later);  // one not yet called in this post
    });
    later = center.addObserver("Once", nullptr, nullptr, rec.block("later:"));
    center.addObserver("Once", nullptr, nullptr, rec.block("kept:"));

    center.post("Once");
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"self:Once", "kept:Once"}));
    center.post("Once");
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"kept:Once"}));
}

TEST(NotificationCenter, RemovalWaitsForACallRunningOnAnotherThread) {
    NotificationCenter center;
    std::mutex m;
    std::vector<std::string> events;
    auto record = [&](const char* e) {
        std::lock_guard lock(m);
        events.emplace_back(e);
    };
    std::promise<void> entered, release;
    auto releaseFuture = release.get_future();
    std::atomic<int> calls{0};
    auto token = center.addObserver("Slow", nullptr, nullptr, [&](const Notification&) {
        calls++;
        entered.set_value();
        releaseFuture.wait();
        record("call finished");
    });

    std::thread poster([&] { center.post("Slow"); });
    entered.get_future().wait();
    std::thread remover([&] {
        center.removeObserver(token);
        record("remove returned");
    });
    // The registration leaves the table before removal waits for the call.
    while (center.observerCount() != 0) std::this_thread::yield();
    release.set_value();
    remover.join();
    poster.join();
    EXPECT_EQ(events, (std::vector<std::string>{"call finished", "remove returned"}));
    center.post("Slow");
    EXPECT_EQ(calls.load(), 1);
}

TEST(NotificationCenter, PostingFromEightThreads) {
    NotificationCenter center;
    auto queue = ns::DispatchQueue::serial("test.notifications.many");
    std::atomic<int> syncCalls{0};
    int queuedCalls = 0;  // only touched on `queue`
    std::atomic<int> filtered{0};
    auto mine = std::make_shared<Sender>();
    center.addObserver("Many", nullptr, nullptr, [&](const Notification&) { syncCalls++; });
    center.addObserver("Many", nullptr, queue, [&](const Notification&) { queuedCalls++; });
    center.addObserver("Many", mine, nullptr, [&](const Notification&) { filtered++; });

    constexpr int kThreads = 8, kPosts = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPosts; ++i) {
                center.post("Many", t == 0 ? ns::ObjectPtr(mine) : nullptr, {{"i", i}});
                // Churn the table while others post.
                auto tok = center.addObserver("Many", nullptr, nullptr, [](const Notification&) {});
                center.removeObserver(tok);
            }
        });
    }
    for (auto& t : threads) t.join();
    int queued = 0;
    queue->sync([&] { queued = queuedCalls; });
    EXPECT_EQ(syncCalls.load(), kThreads * kPosts);
    EXPECT_EQ(queued, kThreads * kPosts);
    EXPECT_EQ(filtered.load(), kPosts);
    EXPECT_EQ(center.observerCount(), 3u);
}

TEST(NotificationCenter, DefaultCenterIsOneInstance) {
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
    Recorder rec;
    int owner = 0;
    NotificationCenter::defaultCenter().addObserver("NCDefaultTest", nullptr, nullptr, rec.block(), &owner);
    NotificationCenter::defaultCenter().post("NCDefaultTest");
    NotificationCenter::defaultCenter().removeObservers(&owner);
    NotificationCenter::defaultCenter().post("NCDefaultTest");
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"NCDefaultTest"}));
}
