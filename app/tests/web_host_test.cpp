#include <gtest/gtest.h>
#include <httplib.h>

#include <future>
#include <nlohmann/json.hpp>

#include "app/WebHost.h"
#include "app_test_support.h"

namespace {

using json = nlohmann::json;

// The host answers on connection threads but acts on the main queue, so
// requests are made from another thread while the test pumps the main loop.
class WebHostTest : public apptest::AppTest {
protected:
    WebHostTest() : AppTest(false) {}
    void SetUp() override {
        AppTest::SetUp();
        launch();
        host = std::make_unique<almavel::WebHost>(driver);
        port = host->start(0);
    }
    void TearDown() override {
        host->stop();
        AppTest::TearDown();
    }

    httplib::Result request(const std::string& method, const std::string& path, const std::string& body = "{}",
                            httplib::Headers headers = {}) {
        auto answer = std::async(std::launch::async, [=, this] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(30);
            return method == "GET" ? client.Get(path, headers) : client.Post(path, headers, body, "application/json");
        });
        EXPECT_TRUE(waitFor([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return answer.get();
    }

    std::unique_ptr<almavel::WebHost> host;
    int port = 0;
};

TEST_F(WebHostTest, ThePageTheScreenAndTheStateAreServed) {
    auto page = request("GET", "/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("EventSource(\"/events\")"), std::string::npos);

    auto png = request("GET", "/screen.png");
    ASSERT_TRUE(png);
    EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");
    EXPECT_EQ(png->body.substr(1, 3), "PNG");

    auto state = request("GET", "/state");
    ASSERT_TRUE(state);
    const json s = json::parse(state->body);
    std::vector<std::string> names;
    for (const auto& e : s["elements"]) names.push_back(e["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"txtUser", "txtPass", "logIn", "forgotPass", "signUp"}));
    EXPECT_EQ(s["elements"][1]["secure"], true);
    EXPECT_EQ(s["ignoring"], false);
}

TEST_F(WebHostTest, InputIsRefusedWhileTheAppIgnoresItAndFromAnotherOrigin) {
    auto typed = request("POST", "/type", R"({"name":"txtUser","text":"ana@almavel.pa"})");
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->status, 200) << typed->body;
    EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), "ana@almavel.pa");

    ns::Application::shared()->beginIgnoringInteractionEvents();
    auto refused = request("POST", "/type", R"({"name":"txtUser","text":"otra"})");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 409);
    EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), "ana@almavel.pa");
    EXPECT_EQ(json::parse(request("GET", "/state")->body)["ignoring"], true);
    ns::Application::shared()->endIgnoringInteractionEvents();

    auto foreign = request("POST", "/type", R"({"name":"txtUser","text":"x"})", {{"Origin", "http://example.com"}});
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 403);
    auto own = request("POST", "/type", R"({"name":"txtUser","text":"y"})",
                       {{"Origin", "http://127.0.0.1:" + std::to_string(port)}});
    ASSERT_TRUE(own);
    EXPECT_EQ(own->status, 200);
    EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), "y");

    auto unknown = request("POST", "/tap", R"({"name":"noSuchButton"})");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 409);
    EXPECT_NE(unknown->body.find("noSuchButton"), std::string::npos);
}

TEST_F(WebHostTest, TheSensorPanelDeliversANotificationAndMovesTheAppToTheBackground) {
    almavel::AppConsole::clear();
    auto delivered = request("POST", "/sensor/notification", R"({"aps":{"alert":"Hola"},"kdx.message_id":"w-1"})");
    ASSERT_TRUE(delivered);
    EXPECT_EQ(delivered->status, 200) << delivered->body;
    EXPECT_TRUE(apptest::consoleHas("Message ID: w-1"));

    EXPECT_EQ(request("POST", "/sensor/notification", "[1]")->status, 400);
    EXPECT_EQ(request("POST", "/sensor/background")->status, 200);
    EXPECT_EQ(ns::Application::shared()->applicationState(), ns::Application::State::Background);
    EXPECT_EQ(request("POST", "/sensor/foreground")->status, 200);
    EXPECT_EQ(ns::Application::shared()->applicationState(), ns::Application::State::Active);
    // No picker on screen to take a photo.
    EXPECT_EQ(request("POST", "/sensor/photo", "not a picture")->status, 400);
}

}  // namespace
