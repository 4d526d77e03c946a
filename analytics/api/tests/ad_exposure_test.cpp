// Ad exposure end to end, read back from the events the local back end stored.

#include "analytics/QRVAAdExposureReporter.h"

#include "analytics/QRVASessionReporter.h"
#include "api_test_support.h"
#include "platform/application.h"
#include "uikit/UIWindow.h"

namespace {

using Strings = std::vector<std::string>;
using Screen = ns::UIViewController;

class AdExposureTest : public apitest::ReportingTest {
protected:
    void SetUp() override {
        ReportingTest::SetUp();
        QRVSetLoggerLevel(QRVLoggerLevelDebug);  // the short spans' lines are debug ones
        start();
        window_ = ns::UIWindow::make();
        navigation_ = ns::UINavigationController::initWithRootViewController(std::make_shared<Screen>("Home"));
        window_->setRootViewController(navigation_);
        window_->makeKeyAndVisible();
        ns::Application::shared()->finishLaunching();
        ns::Application::shared()->becomeActive();
    }
    void TearDown() override {
        window_->setRootViewController(nullptr);
        ns::Application::shared()->resetForTesting();
        ReportingTest::TearDown();
    }
    static QRVAAdExposureReporter& ads() { return *QRVAAdExposureReporter::sharedInstance(); }
    // "+id" begins, "-id" ends, a number waits, ">" shows "Detail", "tick" is the engagement
    // timer, "off"/"on" the switch, "away"/"back" the app's activity, "noboot"/"boot" the boot time.
    void run(const std::string& step) {
        auto app = ns::Application::shared();
        if (step[0] == '+') return ads().beginAdUnitExposure(step.substr(1));
        if (step[0] == '-') return ads().endAdUnitExposure(step.substr(1));
        if (step == ">") return navigation_->pushViewController(std::make_shared<Screen>("Detail"), false);
        auto& center = ns::NotificationCenter::defaultCenter();
        if (step == "tick") return center.post(kQRVASessionReporterEngagementTimerDidFireNotification);
        if (step == "off" || step == "on") return ads().setReportingEnabled(step == "on");
        if (step == "away" || step == "back") return step == "away" ? app->resignActive() : app->becomeActive();
        if (step == "noboot") return QRVASessionReporter::setBootTimeReaderForTesting([] { return std::nullopt; });
        if (step == "boot") return QRVASessionReporter::setBootTimeReaderForTesting({});
        advance(std::stod(step));
    }
    // The reporter's monitor codes while the steps run, then the exposure events stored after an
    // upload: "_xu id ms screen", "_xa ms screen".
    Strings play(const Strings& steps, bool upload = true) {
        Strings made;
        for (const auto& line : monitorLines([&] { for (const auto& step : steps) run(step); })) {
            const int code = std::stoi(line);
            if (code / 10 == 100 || code / 10 == 1001) made.push_back(std::to_string(code));
        }
        auto events = upload ? uploadedEvents() : std::vector<analyticstest::StoredEvent>{};
        for (size_t i = seen_; i < events.size(); ++i) {
            const auto& e = events[i];
            const std::string id = e.name == "_xu" ? " " + e["_ai"] : "";
            if (e.name.starts_with("_x")) made.push_back(e.name + id + " " + e["_xt"] + " " + e["_sc"]);
        }
        seen_ = std::max(seen_, events.size());
        return made;
    }

    std::shared_ptr<ns::UINavigationController> navigation_;
    std::shared_ptr<ns::UIWindow> window_;
    size_t seen_ = 0;
};

}  // namespace

TEST_F(AdExposureTest, AnAdUnitShownForTwoAndAHalfSecondsGivesBothEventsWithTheScreen) {
    EXPECT_EQ(play({"+banner-1", "2.5", "-banner-1"}), (Strings{"_xu banner-1 2500 Home", "_xa 2500 Home"}));
    const auto screenID = std::to_string(QRVAScreenViewReporter::sharedInstance()->currentScreen()->instanceID());
    auto events = uploadedEvents();
    EXPECT_EQ(2, std::count_if(events.begin(), events.end(),
                               [&](const auto& e) { return e.name.starts_with("_x") && e["_si"] == screenID; }));
}

// A nested begin of a tracked ad unit adds no distinct one, so the limit
// lets it in: its first end closes one level only.
TEST_F(AdExposureTest, AtMostAHundredAdUnitsAreTrackedButATrackedOneMayNest) {
    Strings steps;
    for (int i = 0; i <= 100; ++i) steps.push_back("+unit-" + std::to_string(i));
    steps.insert(steps.end(), {"+unit-7", "-unit-100", "0.5", "-unit-7", "-unit-7"});
    EXPECT_EQ(play(steps, false), (Strings{"1002", "1004", "1009"}));
}

TEST_F(AdExposureTest, NestingShortSpansUnknownIDsCheckpointsAndTheSwitch) {
    const std::pair<Strings, Strings> cases[] = {
        {{"+a", "+a", "2", "-a", "1", "-a"}, {"_xu a 3000 Home", "_xa 3000 Home"}},
        {{"+b", "0.8", "-b", "-b", "-never", "+", "-"}, {"1009", "1006", "1004", "1004", "1000", "1003"}},
        {{"+c", "1.5", ">", "2", "-c"},
         {"_xu c 1500 Home", "_xa 1500 Home", "_xu c 2000 Detail", "_xa 2000 Detail"}},
        {{"+d", "+e", "1.2", "tick", "0.5", "-d", "1.5", "-e"},
         {"1009", "_xu d 1200 Detail", "_xu e 1200 Detail", "_xa 1200 Detail", "_xu e 2000 Detail", "_xa 2000 Detail"}},
        // Time spent inactive is not counted.
        {{"+f", "1.5", "away", "5", "back", "1.1", "-f"},
         {"_xu f 1500 Detail", "_xa 1500 Detail", "_xu f 1100 Detail", "_xa 1100 Detail"}},
        // Switched off, a checkpoint still restarts the spans.
        {{"+g", "off", "3", "tick", "on", "0.5", "-g"}, {"1007", "1005", "1009", "1006"}},
        // A span begun without a boot time is unknown, not the whole uptime.
        {{"noboot", "+h", "boot", "2", "-h"}, {"1009", "1006"}},
    };
    for (const auto& [steps, expected] : cases) EXPECT_EQ(play(steps), expected) << steps.front();
}
