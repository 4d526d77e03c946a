#pragma once
// The app launched as on the phone, in a temporary sandbox whose bundle
// holds the program's Info.plist and options file, against the local back
// end seeded with the sample data (its staff account), under a virtual
// clock. Tests drive it through AppDriver.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analytics/QRVAAppDelegateProxy.h"
#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAScreenViewReporter.h"
#include "analytics/QRVASessionReporter.h"
#include "analytics/QRVAnalytics.h"
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
#include "platform/keychain.h"
#include "platform/runloop.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "stored_batches.h"
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

// Which stores of the phone refuse every write (a full disk, a folder gone
// read-only, a keychain that cannot be written).
struct BrokenStores {
    bool preferences = false;
    bool keychain = false;
};

// Running as root, a folder's mode stops no write. A folder where the
// standard domain's journal must go stops every change from reaching it
// (each is kept in memory and reported); the keychain refuses its changes
// through its own failure hook, and reads as before. Call again after each
// relaunch: the keychain object, and its hook, are the launch's.
inline void breakStores(const BrokenStores& broken) {
    if (broken.preferences) {
        auto defaults = ns::UserDefaults::standard();
        const std::filesystem::path journal = defaults->path() + ".journal";
        if (!std::filesystem::is_directory(journal)) {
            // What is in the journal reaches the list first, and it goes.
            ASSERT_TRUE(defaults->synchronize());
            ASSERT_TRUE(std::filesystem::create_directory(journal));
        }
    }
    if (broken.keychain) {
        auto keychain = ns::Keychain::shared();
        for (auto operation : {ns::Keychain::Operation::Add, ns::Keychain::Operation::Update,
                               ns::Keychain::Operation::Delete}) {
            keychain->injectFailure(ns::errSecIO, -1, operation);
        }
    }
}

inline bool consoleHasLineStarting(const std::string& start) {
    for (const auto& l : almavel::AppConsole::lines()) {
        if (l.rfind(start, 0) == 0) return true;
    }
    return false;
}

inline std::shared_ptr<ns::UIAlertController> alertOnTop(ns::UIWindow& window) {
    return std::dynamic_pointer_cast<ns::UIAlertController>(window.topmostViewController());
}

using analyticstest::StoredEvent;
using analyticstest::storedEvents;
using analyticstest::storedUserProperties;
using analyticstest::storedValue;

// The screen classes of the screen views, in order.
inline std::vector<std::string> screenViews(const std::vector<StoredEvent>& events) {
    std::vector<std::string> screens;
    for (const auto& e : events) {
        if (e.name == "_vs") screens.push_back(e["_sc"]);
    }
    return screens;
}

// Until the work `queue` holds has run; the main loop turns meanwhile, as
// analytics steps may wait for the main queue.
inline void drainQueue(const ns::DispatchQueuePtr& queue) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    queue->async([done] { *done = true; });
    ns::RunLoop::main().runUntil([&] { return done->load(); }, 30);
}

// Until the work analytics' queues hold has run (a step of one queue may
// queue on the other): the engine's start, for one, is over.
inline void settleAnalytics() {
    for (int round = 0; round < 2; ++round) {
        drainQueue(QRVAnalytics::serialQueue());
        if (QRVAMeasurement::hasSharedInstance()) drainQueue(QRVAMeasurement::sharedInstance()->scheduler()->workerQueue());
    }
}

// Analytics as a new process finds it: the work its queues hold runs first,
// its state on disk is written, what it keeps in memory goes, and the class
// loads again (load time, screen reporter, runtime class).
inline void forgetAnalytics() {
    settleAnalytics();
    QRVAnalytics::resetForTesting();
    QRVAMeasurement::resetSharedForTesting();
    QRVAScreenViewReporter::resetSharedForTesting();
    QRVAAppDelegateProxy::resetForTesting();
    QRVAPersistedConfig::sharedInstance()->synchronizeToDisk();
    QRVAPersistedConfig::resetSharedForTesting();
    QRVAIdentity::resetSharedForTesting();
    QRVAEnvironmentInfo::resetSharedForTesting();
    QRVAMeasurementMonitor()->flushForTesting();
    QRVAMonitor::resetSharedForTesting();
    QRVAnalytics::load();
}

// As a new process on the phone folder `root`: a sandbox object of its own
// (the device profile is read again), set up as the program sets up a phone.
inline void startProcessOnPhone(const std::string& root) {
    auto fresh = ns::Sandbox::open(root);
    ns::DeviceProfile newPhone;
    newPhone.localeIdentifier = "es_PA";
    fresh->setNewPhoneProfile(newPhone);
    ns::Sandbox::setCurrent(fresh);
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
    // Analytics' queued work runs first: an event it writes asks instance
    // identity for its identifier, which would make instance identity anew
    // after its reset, from this launch's files (or from files a test is
    // replacing meanwhile), and the next launch would find that object.
    forgetAnalytics();
    QRVMessaging::resetForTesting();
    QRVInstanceID::resetForTesting();
    QRVApp::resetForTesting();
}

// The back end stopped while this lives (SIGSTOP): its connections stay
// open and nothing answers, as over a dead network path. It goes on at
// `resume` or when this goes, even after a failed assertion.
class StalledBackend {
public:
    explicit StalledBackend(ns::testing::Backend& backend) : pid_(backend.pid()) {
        int status = 0;
        stopped_ = ::kill(pid_, SIGSTOP) == 0 && ::waitpid(pid_, &status, WUNTRACED) == pid_;
    }
    ~StalledBackend() { resume(); }
    StalledBackend(const StalledBackend&) = delete;
    StalledBackend& operator=(const StalledBackend&) = delete;

    bool stopped() const { return stopped_; }
    void resume() {
        if (stopped_) ::kill(pid_, SIGCONT);
        stopped_ = false;
    }

private:
    pid_t pid_;
    bool stopped_ = false;
};

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

    // A second launch on the same sandbox files, as after quitting the app,
    // with the stores `broken` failing again from its start.
    void relaunch(const BrokenStores& broken = {}) {
        finishLaunch();
        forgetProcessState();
        sandbox.relaunch();
        breakStores(broken);
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

    // Analytics started and reporting sessions, so that time moved from now
    // on counts.
    bool waitForAnalytics() {
        return waitFor([] {
            if (!QRVAMeasurement::hasSharedInstance()) return false;
            auto reporter = QRVAMeasurement::sharedInstance()->sessionReporter();
            auto sessions = std::dynamic_pointer_cast<QRVASessionReporter>(reporter);
            return sessions && sessions->isReportingEnabled();
        });
    }

    // The analytics batches the back end holds once there are `count` and
    // the engine has no request out (an upload skips while one is): the
    // upload after a resign fetches the configuration first and goes out in
    // real time.
    nlohmann::json analyticsBatches(size_t count = 1) {
        nlohmann::json batches;
        auto next = std::chrono::steady_clock::now();
        waitFor([&] {
            if (std::chrono::steady_clock::now() < next) return false;
            next += std::chrono::milliseconds(100);
            batches = backend->analyticsBatches();
            return batches["batches"].size() >= count && !QRVAMeasurement::sharedInstance()->isNetworkRequestPending();
        });
        EXPECT_GE(batches["batches"].size(), count) << backend->analyticsRequests().dump();
        return batches;
    }

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
