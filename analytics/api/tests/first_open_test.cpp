// A new phone's first open end to end: the app launches and starts
// analytics, its first launch ends somewhere before or after the first
// screen, and over that launch and the next ones the back end stores
// exactly one first open.

#include "analytics/QRVAUtilities.h"
#include "api_test_support.h"
#include "platform/application.h"
#include "store_test_support.h"
#include "uikit/UIWindow.h"

namespace {

// How the first launch ends.
enum class FirstLaunch {
    BecomesActive,
    EndsWhileAnalyticsStarts,
    EndsAtOnce,
    ShowsItsScreenThenEnds,
    IsKilledBeforeActive,
    ResignsThenIsKilled
};

struct Point {
    FirstLaunch end;
    // The first open's "_sc": the facade's current screen when it is
    // written, none before the app was ever active.
    std::string screen;
    friend void PrintTo(const Point& point, std::ostream* os) { *os << int(point.end); }
};

class FirstOpenTest : public apitest::ReportingTest, public ::testing::WithParamInterface<Point> {
protected:
    void TearDown() override {
        hide();
        ns::Application::shared()->resetForTesting();
        ReportingTest::TearDown();
    }
    // An application with a delegate finishes launching before analytics
    // starts, so the first screen is the one current when it next becomes
    // active.
    void launching() {
        ns::Application::shared()->resetForTesting();
        ns::Application::shared()->setDelegate(std::make_shared<ns::Object>());
        ns::Application::shared()->finishLaunching();
    }
    void launch() {
        launching();
        start();
    }
    // The application's end, and what the store holds when it returns (the
    // process may go right after): read from the side, the queues left as
    // they are.
    std::vector<std::string> terminate() {
        ns::Application::shared()->terminate();
        const std::string path = QRVAFilePathForDatabaseName(kQRVADatabaseFileName);
        std::vector<std::string> names;
        storetest::RawDatabase store(path);
        for (const auto& name : store.rows("SELECT name FROM raw_events ORDER BY rowid")) names.push_back(name);
        return names;
    }
    void show(const char* className) {
        window_ = ns::UIWindow::make();
        window_->setRootViewController(std::make_shared<ns::UIViewController>(className));
        window_->makeKeyAndVisible();
    }
    void hide() {
        if (window_) window_->setRootViewController(nullptr);
        window_.reset();
    }
    void activate() {
        ns::Application::shared()->becomeActive();
        drain();
    }
    void endFirstLaunch(FirstLaunch end) {
        auto app = ns::Application::shared();
        const std::vector<std::string> firstOpen{"_f", "_e"};
        switch (end) {
            case FirstLaunch::BecomesActive:
                show("Inicio");
                activate();
                break;
            case FirstLaunch::EndsWhileAnalyticsStarts:
            case FirstLaunch::EndsAtOnce:
                EXPECT_EQ(terminate(), firstOpen) << "stored before the end returned";
                break;
            case FirstLaunch::ShowsItsScreenThenEnds:
                show("Inicio");
                EXPECT_EQ(terminate(), firstOpen) << "stored before the end returned";
                break;
            case FirstLaunch::IsKilledBeforeActive:
                show("Inicio");
                break;
            case FirstLaunch::ResignsThenIsKilled:
                // Active for a moment: the first screen and the resignation
                // reach the worker queue one after the other.
                show("Inicio");
                app->becomeActive();
                app->resignActive();
                break;
        }
    }

    std::shared_ptr<ns::UIWindow> window_;
};

TEST_P(FirstOpenTest, IsStoredExactlyOnceOverTheLaunchesWhereverTheFirstLaunchEnds) {
    launching();
    // The core's configure step starts analytics; the test's start also
    // waits for the engine's start to have run.
    if (GetParam().end == FirstLaunch::EndsWhileAnalyticsStarts) {
        QRVApp::configure();
    } else {
        start();
    }
    endFirstLaunch(GetParam().end);
    // Two more launches that go as launches go.
    for (int next = 0; next < 2; ++next) {
        hide();
        relaunch();
        launch();
        show("Carrito");
        activate();
    }
    std::vector<analyticstest::StoredEvent> firstOpens;
    for (const auto& event : uploadedEvents()) {
        if (event.name == "_f") firstOpens.push_back(event);
    }
    ASSERT_EQ(firstOpens.size(), 1u);
    EXPECT_EQ(firstOpens[0]["_pfo"], "0");
    EXPECT_EQ(firstOpens[0]["_sc"], GetParam().screen);
}

std::string pointName(const ::testing::TestParamInfo<Point>& info) {
    static const char* const kNames[] = {"BecomesActive",        "EndsWhileAnalyticsStarts", "EndsAtOnce",
                                         "ShowsItsScreenThenEnds", "IsKilledBeforeActive",   "ResignsThenIsKilled"};
    return kNames[int(info.param.end)];
}

INSTANTIATE_TEST_SUITE_P(FirstLaunch, FirstOpenTest,
                         ::testing::Values(Point{FirstLaunch::BecomesActive, "Inicio"},
                                           Point{FirstLaunch::EndsWhileAnalyticsStarts, ""},
                                           Point{FirstLaunch::EndsAtOnce, ""},
                                           Point{FirstLaunch::ShowsItsScreenThenEnds, ""},
                                           Point{FirstLaunch::IsKilledBeforeActive, "Carrito"},
                                           Point{FirstLaunch::ResignsThenIsKilled, "Inicio"}),
                         pointName);

}  // namespace
