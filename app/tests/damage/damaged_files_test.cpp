// The app launched over its own stored files, damaged one at a time: each
// file of a kind is cut short at a random offset, has bytes flipped, gets
// garbage appended, is emptied or deleted (a fixed seed, so every run damages
// alike), and the app is launched again in this process over the same phone
// folder against one back end. Every time the SDK starts, the first screen
// shows, a clerk reaches the main menu (signing in when the damage cost the
// sign-in), and what was not damaged is kept: the signed-in user, the
// phone's vendor id and language, the messaging token.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "../app_test_support.h"
#include "app/MainViewController.h"
#include "app/ViewController.h"
#include "messaging/QRVMessagingPendingTopicsList.h"
#include "platform/plist.h"
#include "platform/reachability.h"
#include "testing/admin_json.h"

namespace {

namespace fs = std::filesystem;

enum class Mode { Cut, Flip, Append, Empty, Delete };
constexpr Mode kModes[] = {Mode::Cut, Mode::Flip, Mode::Append, Mode::Empty, Mode::Delete};
constexpr int kDamagesPerKind = 50;

const char* nameOf(Mode mode) {
    switch (mode) {
        case Mode::Cut: return "cut short";
        case Mode::Flip: return "bytes flipped";
        case Mode::Append: return "garbage appended";
        case Mode::Empty: return "emptied";
        case Mode::Delete: return "deleted";
    }
    return "";
}

// The bytes after one damage; nullopt for a deleted file.
std::optional<std::string> damaged(std::string bytes, Mode mode, std::mt19937& random) {
    auto below = [&](size_t n) { return n == 0 ? size_t(0) : std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    switch (mode) {
        case Mode::Cut: bytes.resize(below(bytes.size())); break;
        case Mode::Flip:
            for (size_t n = 1 + below(16); n > 0 && !bytes.empty(); --n) {
                bytes[below(bytes.size())] ^= char(1 + below(255));
            }
            break;
        case Mode::Append:
            for (size_t n = 1 + below(64); n > 0; --n) bytes.push_back(char(below(256)));
            break;
        case Mode::Empty: bytes.clear(); break;
        case Mode::Delete: return std::nullopt;
    }
    return bytes;
}

// A stored file of the app's, as a path below the sandbox root, or the
// archive the standard user defaults hold under a key.
struct Stored {
    std::string path;
    std::string defaultsKey = {};
};

// What a damage may cost: the kinds of file that hold the sign-in, the
// vendor id, the messaging token or the topic subscription still waiting.
struct Costs {
    bool signIn = false;
    bool vendorId = false;
    bool token = false;
    bool topic = false;
};

class DamagedFilesTest : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWiFi);
        golden_ = sandbox.root() + ".golden";
    }
    void TearDown() override {
        AppTest::TearDown();
        ns::Reachability::setOverride(std::nullopt);
        std::error_code ec;
        fs::remove_all(golden_, ec);
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

    // As a new process: a sandbox object of its own on the same folder (the
    // device profile is read again), set up as the program sets up a phone.
    void startProcess() {
        auto fresh = ns::Sandbox::open(sandbox.root());
        ns::DeviceProfile newPhone;
        newPhone.localeIdentifier = "es_PA";
        fresh->setNewPhoneProfile(newPhone);
        ns::Sandbox::setCurrent(fresh);
    }

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
    // The phone as prepare() left it; what earlier damages set aside goes too.
    void restorePhone() {
        for (const auto& entry : fs::directory_iterator(sandbox.root())) {
            if (entry.path().filename() != "Bundle") fs::remove_all(entry.path());
        }
        copyPhone(golden_, sandbox.root());
    }

    // Damage `count` of `files`, each file in turn and each mode in turn,
    // launching over every damage; `costs` says what a file's damage may lose.
    void damageEach(const std::vector<Stored>& files, const std::function<Costs(const Stored&)>& costs,
                    uint32_t seed, int count = kDamagesPerKind) {
        prepare();
        if (HasFatalFailure()) return;
        std::mt19937 random(seed);
        for (int i = 0; i < count; ++i) {
            const Stored& file = files[size_t(i) % files.size()];
            const Mode mode = kModes[(size_t(i) / files.size()) % std::size(kModes)];
            SCOPED_TRACE(::testing::Message() << "damage " << i << ": " << file.path << file.defaultsKey << " "
                                              << nameOf(mode));
            restorePhone();
            apply(file, mode, random);
            backend->del("/__admin/topics/requests");
            startProcess();
            launchAndWork(costs(file));
            quit();
            if (HasFatalFailure()) return;
        }
        std::cout << count << " damages: " << outcomes_.signIns << " signed in again, " << outcomes_.newToken
                  << " new messaging tokens, " << outcomes_.newVendorId << " new vendor ids, " << outcomes_.setAside
                  << " files set aside\n";
    }

    void apply(const Stored& file, Mode mode, std::mt19937& random) {
        const std::string path = sandbox.root() + "/" + file.path;
        if (file.defaultsKey.empty()) {
            auto bytes = damaged(apptest::readFile(path), mode, random);
            if (!bytes) {
                fs::remove(path);
            } else {
                std::ofstream(path, std::ios::binary | std::ios::trunc) << *bytes;
            }
            return;
        }
        ns::Value stored = ns::plist::readFile(path);
        ASSERT_TRUE(stored.isDictionary());
        ns::Dictionary all = stored.asDictionary();
        const ns::Data& archive = all.at(file.defaultsKey).asData();
        auto bytes = damaged(std::string(archive.begin(), archive.end()), mode, random);
        if (!bytes) {
            all.erase(file.defaultsKey);
        } else {
            all[file.defaultsKey] = ns::Data(bytes->begin(), bytes->end());
        }
        ASSERT_TRUE(ns::plist::writeFile(path, ns::Value(all), ns::plist::Format::Binary));
    }

    std::shared_ptr<almavel::MainViewController> mainMenuOnTop() {
        auto nav = std::dynamic_pointer_cast<ns::UINavigationController>(driver.window()->topmostViewController());
        return nav ? std::dynamic_pointer_cast<almavel::MainViewController>(nav->topViewController()) : nullptr;
    }

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
        EXPECT_TRUE(ns::RunLoop::main().runUntil([] { return QRVInstanceID::instanceID()->hasValidCheckinInfo(); }, 10))
            << "checked in";
        const ns::DeviceProfile profile = ns::Sandbox::current()->deviceProfile();
        EXPECT_EQ(profile.localeIdentifier, "es_PA");
        EXPECT_EQ(ns::Sandbox(sandbox.root()).deviceProfile().identifierForVendor, profile.identifierForVendor)
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
        for (const auto& entry : fs::recursive_directory_iterator(sandbox.root())) {
            const std::string name = entry.path().filename().string();
            outcomes_.setAside += name.find(".damaged") != std::string::npos || name.find(".corrupt-") != std::string::npos;
        }
    }

    // The back end was asked to subscribe this phone to the waiting topic.
    bool topicRequested() {
        return ns::RunLoop::main().runUntil(
            [&] {
                const auto requests = ns::testing::getJSON(*backend, "/__admin/topics/requests")["requests"];
                return requests.dump().find("ofertas") != std::string::npos;
            },
            10);
    }

    // What the damages cost, for the record of the run.
    struct Outcomes {
        int signIns = 0;
        int newToken = 0;
        int newVendorId = 0;
        int setAside = 0;
    } outcomes_;

    std::string golden_;
    std::string token_;
    std::string vendorId_;
};

const char* const kStandardDefaults = "Home/Library/Preferences/pa.almavel.asistente.plist";
const char* const kKeychain = "Keychain/keychain.plist";
const char* const kDeviceProfile = "Device.plist";

TEST_F(DamagedFilesTest, UserDefaultsAndTheirKeyedArchive) {
    const std::vector<Stored> files{
        {kStandardDefaults},
        {kStandardDefaults, kQRVMessagingPendingSubscriptionsKey},
        {"Home/Library/Preferences/com.ondrix.vlp.measurement.plist"},
        {"Home/Library/Preferences/com.ondrix.vlp.measurement.monitor.plist"},
    };
    // The standard defaults hold the sign-in and the versions instance
    // identity's tokens were made for (without them a token is made anew).
    damageEach(files,
               [](const Stored& f) {
                   const bool standard = f.path == kStandardDefaults;
                   const bool whole = standard && f.defaultsKey.empty();
                   return Costs{.signIn = whole, .token = whole, .topic = standard};
               },
               11);
}

TEST_F(DamagedFilesTest, KeychainAndDeviceProfile) {
    const std::vector<Stored> files{{kKeychain}, {kDeviceProfile}};
    damageEach(files,
               [](const Stored& f) {
                   const bool keychain = f.path == kKeychain;
                   return Costs{.signIn = keychain, .vendorId = !keychain, .token = true, .topic = keychain};
               },
               12);
}

TEST_F(DamagedFilesTest, AnalyticsStore) {
    damageEach({{"Home/Library/Application Support/Ondrix/Measurement/ondrix-app-measurement.sql"}},
               [](const Stored&) { return Costs{}; }, 13);
}

TEST_F(DamagedFilesTest, MessagingStore) {
    damageEach({{"Home/Library/Application Support/Ondrix/QuorvaneMessaging/rmq2.sqlite"}},
               [](const Stored&) { return Costs{}; }, 14);
}

TEST_F(DamagedFilesTest, InstanceIdentityFiles) {
    const std::string folder = "Home/Library/Application Support/Ondrix/QuorvaneInstanceID/";
    damageEach({{folder + "o-checkin.plist"}, {folder + "com.ondrix.iid-tokens.plist"},
                {folder + "com.ondrix.iid-keypair.plist"}},
               // A topic that goes out while instance identity checks in again or
               // refreshes its tokens fails without credentials and is dropped.
               [](const Stored&) { return Costs{.topic = true}; }, 15);
}

}  // namespace
