#pragma once
// The app launched as on the phone, in a temporary sandbox whose bundle
// holds the program's Info.plist and options file, against the local back
// end seeded with the sample data (its staff account), under a virtual
// clock. Tests drive it through AppDriver.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/AppConsole.h"
#include "app/AppDriver.h"
#include "auth/QRVAuth.h"
#include "core/QRVApp.h"
#include "database/api/FRepoManager.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabase.h"
#include "database/api/QRVDatabaseReference.h"
#include "instanceid/QRVInstanceID.h"
#include "messaging/QRVMessaging.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "platform/user_defaults.h"
#include "storage/QRVStorage.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"
#include "uikit/UserNotifications.h"

namespace apptest {

inline constexpr const char* kStaffEmail = "personal@almavel.com.pa";
inline constexpr const char* kStaffPassword = "Almavel2024";

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline bool consoleHas(const std::string& line) {
    for (const auto& l : almavel::AppConsole::lines()) {
        if (l == line) return true;
    }
    return false;
}

// Forgets what a previous launch left in the process (not the sandbox's
// files), as a new process would.
inline void forgetProcessState() {
    ns::Application::shared()->resetForTesting();
    ns::UNUserNotificationCenter::currentNotificationCenter()->resetForTesting();
    QRVAuth::resetForTesting();
    // The storage services hold the app they were made for: a new launch's
    // app must not find the last one's (whose token hook is gone).
    QRVStorage::resetForTesting();
    // So do the database objects (and their repositories' token providers):
    // their connections close and a new launch makes new ones.
    for (const auto& [name, app] : QRVApp::allApps()) {
        if (app->options()->databaseURL()) FRepoManager::disposeRepos(QRVDatabase::databaseForApp(app)->config());
    }
    QRVDatabase::resetInstancesForTesting();
    QRVMessaging::resetForTesting();
    QRVInstanceID::resetForTesting();
    QRVApp::resetForTesting();
}

class AppTest : public ::testing::Test {
protected:
    explicit AppTest(bool withBackend = true) : withBackend_(withBackend) {}

    void SetUp() override {
        if (withBackend_) {
            ns::testing::Backend::Options options;
            options.seed = true;
            backend = ns::testing::Backend::start(options);
            backend->routeServiceHosts();
        }
        const std::string bundle = std::string(ALMAVEL_SOURCE_DIR) + "/core/tools/bundle/";
        for (const char* name : {"Info.plist", "OndrixService-Info.plist"}) {
            sandbox.writeBundleFile(name, readFile(bundle + name));
        }
        for (const auto& entry : std::filesystem::directory_iterator(ALMAVEL_APP_RESOURCES)) {
            sandbox.writeBundleFile(entry.path().filename().string(), readFile(entry.path().string()));
        }
        forgetProcessState();
        almavel::AppConsole::clear();
        ns::UIView::clearRecordedAnimations();
    }

    void TearDown() override {
        finishLaunch();
        forgetProcessState();
    }

    void launch() { driver = almavel::AppDriver::launch(); }

    // A second launch on the same sandbox files, as after quitting the app.
    void relaunch() {
        finishLaunch();
        forgetProcessState();
        sandbox.relaunch();
        launch();
    }

    // What the launch began ends before its state is forgotten: a request
    // still running (a sign-in tapped last) would otherwise answer into the
    // next launch, and ending its wait there lowers the process-wide count of
    // ignored interaction that the next launch's own wait raised.
    void finishLaunch() {
        if (ns::Application::shared()->keyWindow()) driver.waitUntilIdle();
        // Answers still queued for the main thread run before the objects go.
        ns::RunLoop::main().runOnce();
    }

    bool waitFor(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 60); }

    bool signIn(const std::string& email, const std::string& password) {
        return driver.type("txtUser", email) && driver.type("txtPass", password) && driver.tap("logIn") &&
               driver.waitUntilIdle();
    }

    std::shared_ptr<ns::UserDefaults> defaults() const { return ns::UserDefaults::standard(); }

    // The signed-in user's view of a database node.
    ns::Value readNode(const std::string& path) {
        ns::Value value;
        bool done = false;
        QRVDatabase::database()->reference()->child(path)->observeSingleEventOfType(
            QRVDataEventTypeValue, [&](QRVDataSnapshotPtr snapshot) {
                value = snapshot->value();
                done = true;
            });
        EXPECT_TRUE(waitFor([&] { return done; }));
        return value;
    }

    ns::testing::TempSandbox sandbox;
    std::unique_ptr<ns::VirtualClock> clock = ns::VirtualClock::install();
    std::unique_ptr<ns::testing::Backend> backend;
    almavel::AppDriver driver;

private:
    bool withBackend_;
};

// Launched and signed in as the staff member, on the main menu inside the
// navigation controller `nav`.
class SignedInAppTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        launch();
        ASSERT_TRUE(signIn(kStaffEmail, kStaffPassword)) << driver.lastError();
        nav = std::dynamic_pointer_cast<ns::UINavigationController>(driver.window()->topmostViewController());
        ASSERT_NE(nav, nullptr);
    }

    std::shared_ptr<ns::UINavigationController> nav;
};

}  // namespace apptest
