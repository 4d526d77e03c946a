#pragma once
// The app launched again in this process over the stored files of one
// phone, each launch as a new process would start (a sandbox object of its
// own on the same folder, nothing kept in memory), against one back end.
// prepare() leaves the phone as a clerk leaves it and keeps its files;
// restorePhone() puts them back before each damage; launchAndWork() checks
// what every launch over a damaged file must still do: the SDK starts, the
// first screen shows, a clerk reaches the main menu (signing in when the
// damage cost the sign-in), and what the damaged file did not hold is kept.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "../app_test_support.h"
#include "app/MainViewController.h"
#include "app/ViewController.h"
#include "messaging/QRVMessagingPendingTopicsList.h"
#include "platform/reachability.h"
#include "testing/admin_json.h"

namespace damagetest {

namespace fs = std::filesystem;

inline const char* const kStandardDefaults = "Home/Library/Preferences/pa.almavel.asistente.plist";
inline const char* const kKeychain = "Keychain/keychain.plist";
inline const char* const kDeviceProfile = "Device.plist";
inline const char* const kMessagingStore = "Home/Library/Application Support/Ondrix/QuorvaneMessaging/rmq2.sqlite";

// What a damage may cost: the kinds of file that hold the sign-in, the
// vendor id, the messaging token or the topic subscription still waiting.
struct Costs {
    bool signIn = false;
    bool vendorId = false;
    bool token = false;
    bool topic = false;
};

class DamageTest : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWiFi);
        golden_ = sandbox.root() + ".golden";
        phone_ = sandbox.root();
    }
    void TearDown() override {
        AppTest::TearDown();
        ns::Reachability::setOverride(std::nullopt);
        std::error_code ec;
        fs::remove_all(golden_, ec);
        for (int n = 1; n <= phones_; ++n) fs::remove_all(phoneFolder(n), ec);
    }

    // The phone as a clerk leaves it: signed in, with the messaging token, a
    // topic subscription still waiting (the keyed archive) and analytics'
    // store written; its files are kept to start every damage from.
    void prepare() {
        fs::remove(sandbox.sandbox()->deviceProfilePath());
        startProcess();
        launch();
        ASSERT_TRUE(signIn(apptest::kStaffEmail, apptest::kStaffPassword)) << driver.lastError();
        ASSERT_TRUE(waitFor([] { return !QRVMessaging::messaging()->QDXToken().empty(); })) << backend->log();
        ASSERT_TRUE(waitForAnalytics());
        token_ = QRVMessaging::messaging()->QDXToken();
        vendorId_ = ns::Sandbox::current()->deviceProfile().identifierForVendor;
        ASSERT_EQ(ns::Sandbox::current()->deviceProfile().localeIdentifier, "es_PA");
        QRVMessagingPendingTopicsList waiting;
        waiting.addOperationForTopic("/topics/ofertas", QRVMessagingTopicActionSubscribe);
        defaults()->setObject(ns::Value(waiting.archive()), kQRVMessagingPendingSubscriptionsKey);
        quit();
        copyPhone(sandbox.root(), golden_);
    }

    void startProcess() { apptest::startProcessOnPhone(phone_); }

    // The app quits: what it began ends, what it keeps in memory goes and
    // its files are written.
    void quit() {
        finishLaunch();
        apptest::forgetProcessState();
        ns::Sandbox::current()->removeAllAttachments();
    }

    static void copyPhone(const std::string& from, const std::string& to) {
        fs::create_directories(to);
        for (const char* part : {"Home", "Keychain", "Device.plist"}) {
            fs::copy(from + "/" + part, to + "/" + part, fs::copy_options::recursive);
        }
    }
    // The phone as prepare() left it, in a folder of its own: work the last
    // launch left running in this process (an answer arriving late, which a
    // phone's ending process would not receive) writes to the folder it
    // was started on, never to the next launch's files.
    void restorePhone() {
        std::error_code ec;
        if (phones_ > 0) fs::remove_all(phoneFolder(phones_), ec);
        phone_ = phoneFolder(++phones_);
        fs::create_directories(phone_);
        fs::copy(sandbox.root() + "/Bundle", phone_ + "/Bundle", fs::copy_options::recursive);
        copyPhone(golden_, phone_);
    }
    std::string phoneFolder(int n) const { return sandbox.root() + ".phone" + std::to_string(n); }
    std::string goldenFile(const std::string& path) const { return golden_ + "/" + path; }
    std::string phoneFile(const std::string& path) const { return phone_ + "/" + path; }

    std::shared_ptr<almavel::MainViewController> mainMenuOnTop() {
        auto nav = std::dynamic_pointer_cast<ns::UINavigationController>(driver.window()->topmostViewController());
        return nav ? std::dynamic_pointer_cast<almavel::MainViewController>(nav->topViewController()) : nullptr;
    }

    // Launches over the phone's files as they are and works as a clerk
    // would; `costs` says what the damage may have lost. Whether the clerk
    // had to sign in again is counted in outcomes_.signIns.
    void launchAndWork(const Costs& costs) {
        ASSERT_NO_THROW(launch());
        ASSERT_NE(QRVApp::defaultApp(), nullptr) << "the SDK is configured";
        ASSERT_NE(std::dynamic_pointer_cast<almavel::ViewController>(driver.window()->rootViewController()), nullptr)
            << "sign-in is the first screen";
        ASSERT_TRUE(driver.waitUntilIdle());
        if (!mainMenuOnTop()) {
            EXPECT_TRUE(costs.signIn) << "signed out though nothing holding the sign-in was damaged";
            ++outcomes_.signIns;
            while (driver.answerAlert("Cerrar")) {
            }
            ASSERT_TRUE(signIn(apptest::kStaffEmail, apptest::kStaffPassword)) << driver.lastError();
        }
        ASSERT_NE(mainMenuOnTop(), nullptr) << driver.screenText();
        EXPECT_TRUE(waitForAnalytics()) << "analytics started";
        EXPECT_TRUE(waitFor([] { return !QRVMessaging::messaging()->QDXToken().empty(); })) << "a messaging token";
        EXPECT_TRUE(waitFor([] { return QRVInstanceID::instanceID()->hasValidCheckinInfo(); })) << "checked in";
        expectTokenOfTheCurrentIdentity();
        const ns::DeviceProfile profile = ns::Sandbox::current()->deviceProfile();
        EXPECT_EQ(profile.localeIdentifier, "es_PA");
        EXPECT_EQ(ns::Sandbox(phone_).deviceProfile().identifierForVendor, profile.identifierForVendor)
            << "the profile in use is the one stored";
        if (!costs.vendorId) {
            EXPECT_EQ(profile.identifierForVendor, vendorId_);
        }
        if (!costs.token) {
            EXPECT_EQ(QRVMessaging::messaging()->QDXToken(), token_);
        }
        if (!costs.topic) {
            EXPECT_TRUE(topicRequested()) << "the waiting topic subscription is sent";
        }
        outcomes_.newToken += QRVMessaging::messaging()->QDXToken() != token_;
        outcomes_.newVendorId += profile.identifierForVendor != vendorId_;
        for (const auto& entry : fs::recursive_directory_iterator(phone_)) {
            const std::string name = entry.path().filename().string();
            outcomes_.setAside += name.find(".damaged") != std::string::npos || name.find(".corrupt-") != std::string::npos;
        }
    }

    // The server makes a token for one instance identity and begins it with
    // that identity's id: a token kept from an identity that is gone names a
    // registration the server no longer serves this phone under.
    static void expectTokenOfTheCurrentIdentity() {
        const std::string token = QRVMessaging::messaging()->QDXToken();
        ns::ErrorRef error;
        const std::optional<std::string> identity = QRVInstanceID::instanceID()->appInstanceID(&error);
        ASSERT_TRUE(identity) << (error ? error->description() : "");
        EXPECT_EQ(token.rfind(*identity + ":", 0), 0u)
            << "the messaging token " << token << " belongs to another identity than " << *identity;
    }

    // The back end was asked to subscribe this phone to the waiting topic
    // (asked every tenth of a second, not at every turn of the loop).
    bool topicRequested() {
        auto next = std::chrono::steady_clock::now();
        return waitFor([&] {
            if (std::chrono::steady_clock::now() < next) return false;
            next += std::chrono::milliseconds(100);
            const auto requests = ns::testing::getJSON(*backend, "/__admin/topics/requests")["requests"];
            return requests.dump().find("ofertas") != std::string::npos;
        });
    }

    // What the damages cost, for the record of the run.
    struct Outcomes {
        int signIns = 0;
        int newToken = 0;
        int newVendorId = 0;
        int setAside = 0;
    } outcomes_;

    std::string golden_;
    // The folder the phone's files are in now, and how many restorePhone() made.
    std::string phone_;
    int phones_ = 0;
    std::string token_;
    std::string vendorId_;
};

}  // namespace damagetest
