#include "platform/reachability.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/host_routing.h"
#include "platform/runloop.h"

using namespace ns;

namespace {

class ReachabilityTest : public ::testing::Test {
protected:
    void SetUp() override { Reachability::setOverride(std::nullopt); }
    void TearDown() override {
        Reachability::setOverride(std::nullopt);
        HostRouting::shared().clear();
    }
};

// Records callbacks with the thread they ran on.
struct Recorder {
    std::vector<Reachability::Flags> flags;
    std::vector<std::thread::id> threads;
    std::function<void(Reachability::Flags)> callback() {
        return [this](Reachability::Flags f) {
            flags.push_back(f);
            threads.push_back(std::this_thread::get_id());
        };
    }
};

}  // namespace

TEST_F(ReachabilityTest, LocalAndRoutedHostsAreReachableWithoutPackets) {
    using R = Reachability;
    const R::Flags local = R::kReachable | R::kIsLocalAddress | R::kIsDirect;
    R::Flags f = 0;
    ASSERT_TRUE(R::make("db.localhost")->getFlags(f));
    EXPECT_EQ(f, local);
    ASSERT_TRUE(R::make("127.0.0.1")->getFlags(f));
    EXPECT_EQ(f, local);

    auto service = R::make("app-measurement.quorvaneapis.com");
    ASSERT_TRUE(HostRouting::shared().add("*.quorvaneapis.com", 0, "127.0.0.1", 8443));
    ASSERT_TRUE(service->getFlags(f));
    EXPECT_EQ(f, local);
    HostRouting::shared().clear();
    ASSERT_TRUE(service->getFlags(f));
    // Unrouted, the answer comes from the interfaces: reachable or not, never local.
    EXPECT_EQ(f & R::kIsLocalAddress, 0u);
}

TEST_F(ReachabilityTest, OverrideDecidesEveryAnswer) {
    using R = Reachability;
    auto r = R::make("db.localhost");
    R::Flags f = 0xffff;
    R::setOverride(R::Status::NotReachable);
    EXPECT_EQ(R::currentOverride(), R::Status::NotReachable);
    ASSERT_TRUE(r->getFlags(f));
    EXPECT_EQ(f, 0u);
    R::setOverride(R::Status::ReachableViaWWAN);
    ASSERT_TRUE(r->getFlags(f));
    EXPECT_EQ(f, R::kReachable | R::kIsWWAN);
    R::setOverride(R::Status::ReachableViaWiFi);
    ASSERT_TRUE(r->getFlags(f));
    EXPECT_EQ(f, R::kReachable);
    R::setOverride(std::nullopt);
    ASSERT_TRUE(r->getFlags(f));
    EXPECT_EQ(f, R::kReachable | R::kIsLocalAddress | R::kIsDirect);
}

TEST_F(ReachabilityTest, ScheduledObjectsHearChangesOnTheirRunLoop) {
    using R = Reachability;
    RunLoop& loop = RunLoop::current();
    Recorder rec;
    auto r = R::make("api.localhost");
    r->setCallback(rec.callback());
    ASSERT_TRUE(r->scheduleOnRunLoop(loop));
    EXPECT_TRUE(r->isScheduled());

    // Flags computed from a background thread, delivered on the loop's thread.
    std::thread([] { R::setOverride(R::Status::NotReachable); }).join();
    ASSERT_TRUE(loop.runUntil([&] { return rec.flags.size() == 1; }, 10));
    EXPECT_EQ(rec.flags[0], 0u);
    EXPECT_EQ(rec.threads[0], std::this_thread::get_id());

    // The same answer again is not a change; the next different one is.
    R::setOverride(R::Status::NotReachable);
    R::refresh();
    R::setOverride(R::Status::ReachableViaWWAN);
    ASSERT_TRUE(loop.runUntil([&] { return rec.flags.size() >= 2; }, 10));
    R::setOverride(R::Status::ReachableViaWiFi);
    ASSERT_TRUE(loop.runUntil([&] { return rec.flags.size() >= 3; }, 10));
    EXPECT_EQ(rec.flags, (std::vector<R::Flags>{0u, R::kReachable | R::kIsWWAN, R::kReachable}));

    // Back to the real answer for a local name.
    R::setOverride(std::nullopt);
    ASSERT_TRUE(loop.runUntil([&] { return rec.flags.size() >= 4; }, 10));
    EXPECT_EQ(rec.flags[3], R::kReachable | R::kIsLocalAddress | R::kIsDirect);
}

TEST_F(ReachabilityTest, UnscheduledObjectsStayQuiet) {
    using R = Reachability;
    RunLoop& loop = RunLoop::current();
    Recorder quiet, sentinel;
    auto r = R::make("api.localhost");
    r->setCallback(quiet.callback());
    ASSERT_TRUE(r->scheduleOnRunLoop(loop));
    auto other = R::make("other.localhost");
    other->setCallback(sentinel.callback());

    // A change queued before unschedule is dropped, and later ones never come.
    R::setOverride(R::Status::NotReachable);
    r->unschedule();
    EXPECT_FALSE(r->isScheduled());
    ASSERT_TRUE(other->scheduleOnRunLoop(loop));
    R::setOverride(R::Status::ReachableViaWiFi);
    ASSERT_TRUE(loop.runUntil([&] { return !sentinel.flags.empty(); }, 10));
    loop.runOnce();
    EXPECT_TRUE(quiet.flags.empty());
    EXPECT_EQ(sentinel.flags, (std::vector<R::Flags>{R::kReachable}));

    // Objects that are gone are forgotten without harm.
    other.reset();
    R::setOverride(R::Status::NotReachable);
    loop.runOnce();
}
