// Conditional user properties end to end: set through the controller, timed
// out, expired, triggered and cleared as events pass on the virtual clock,
// read back from what the local back end stored.

#include "analytics/QRVAConditionalUserPropertyController.h"

#include <algorithm>

#include "api_test_support.h"

namespace {

using Strings = std::vector<std::string>;

std::optional<QRVAEvent> event(const char* name) {
    return name ? QRVAEvent::initWithOrigin("app", false, name, 0, 0, QRVAParameters{}) : std::nullopt;
}

class ConditionalUserPropertyEndToEndTest : public apitest::ReportingTest {
protected:
    void SetUp() override {
        ReportingTest::SetUp();
        start();
    }
    static void set(const std::string& name, const std::string& trigger, double timeout, double timeToLive,
                    const char* triggered, const char* timedOut = nullptr, const char* expired = nullptr) {
        QRVAConditionalUserProperty r;
        r.origin = "app";
        r.value = QRVAValue::string(name + "-on");
        r.triggerEventName = trigger;
        r.triggerTimeout = timeout;
        r.timeToLive = timeToLive;
        r.triggeredEvent = event(triggered);
        r.timedOutEvent = event(timedOut);
        r.expiredEvent = event(expired);
        QRVAConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(r, name);
    }
    bool hasUserProperty(const std::string& name) {
        bool found = false;
        onWorker([&] { found = engine()->database()->userAttributeWithName(name, nullptr).has_value(); });
        return found;
    }
};

}  // namespace

TEST_F(ConditionalUserPropertyEndToEndTest, EventsTimeOutExpireAndTriggerRecordsAndClearingEndsThemInTurn) {
    set("tier", "level_up", 3600, 3600, "cup_triggered");
    set("late", "never", 60, 600, nullptr, "cup_timed_out");
    set("short", "", 60, 120, "cup_on", nullptr, "cup_expired");
    drain();
    EXPECT_FALSE(hasUserProperty("tier"));
    EXPECT_TRUE(hasUserProperty("short"));
    advance(90);
    QRVAnalytics::logEventWithName("tick");
    drain();
    advance(90);
    QRVAnalytics::logEventWithName("level_up");
    drain();
    EXPECT_FALSE(hasUserProperty("short"));
    EXPECT_TRUE(hasUserProperty("tier"));
    const Strings lines = monitorLines([] {
        for (int i = 0; i < 2; ++i) {
            QRVAConditionalUserPropertyController::sharedInstance()->clearConditionalUserPropertyWithClearEvent(
                event("cup_cleared"), "tier");
        }
    });
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return l.starts_with("11018 "); }), 1);
    EXPECT_FALSE(hasUserProperty("tier"));
    const Strings ours{"cup_on", "cup_timed_out", "tick", "cup_expired", "level_up", "cup_triggered", "cup_cleared"};
    Strings names = uploadedNames();
    std::erase_if(names, [&](const auto& n) { return std::find(ours.begin(), ours.end(), n) == ours.end(); });
    EXPECT_EQ(names, ours);
    EXPECT_EQ(uploadedUserProperties()["tier"], "tier-on");
}
