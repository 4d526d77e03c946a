// The app launched over its own stored files, damaged one at a time: each
// file of a kind is cut short at a random offset, has bytes flipped, gets
// garbage appended, is emptied or deleted (a fixed seed, so every run damages
// alike), and the app is launched again in this process over the same phone
// folder against one back end. Every time the SDK starts, the first screen
// shows, a clerk reaches the main menu (signing in when the damage cost the
// sign-in), and what was not damaged is kept: the signed-in user, the
// phone's vendor id and language, the messaging token.

#include <gtest/gtest.h>

#include <random>

#include "damage_support.h"
#include "platform/plist.h"

namespace {

using damagetest::Costs;
using damagetest::kDeviceProfile;
using damagetest::kKeychain;
using damagetest::kStandardDefaults;
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

class DamagedFilesTest : public damagetest::DamageTest {
protected:
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
        const std::string path = phoneFile(file.path);
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
};

// Work a launch leaves queued as it quits runs before the next launch
// starts, and what it makes goes with the launch: an event analytics writes
// on its way out asks instance identity for its identifier, and an instance
// identity made then, from that launch's files, must not serve the next one
// (which would keep an identity whose key pair is gone).
TEST_F(DamagedFilesTest, TheNextLaunchFindsNoInstanceIdentityOfTheLast) {
    fs::remove(sandbox.sandbox()->deviceProfilePath());
    startProcess();
    launch();
    ASSERT_TRUE(waitForAnalytics());
    const std::optional<std::string> before = QRVInstanceID::instanceID()->appInstanceID();
    ASSERT_TRUE(before);
    QRVAnalytics::logEventWithName("almavel_salida");
    quit();
    fs::remove(phoneFile(kKeychain));
    startProcess();
    launch();
    const std::optional<std::string> after = QRVInstanceID::instanceID()->appInstanceID();
    ASSERT_TRUE(after);
    EXPECT_NE(*after, *before) << "the key pair went with the keychain";
}

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
    damageEach({{damagetest::kMessagingStore}},
               [](const Stored&) { return Costs{}; }, 14);
}

TEST_F(DamagedFilesTest, InstanceIdentityFiles) {
    const std::string folder = "Home/Library/Application Support/Ondrix/QuorvaneInstanceID/";
    damageEach({{folder + "o-checkin.plist"}, {folder + "com.ondrix.iid-tokens.plist"},
                {folder + "com.ondrix.iid-keypair.plist"}},
               // A topic that goes out while instance identity checks in again or
               // refreshes its tokens fails without credentials and is dropped. A
               // key pair lost is a new identity, whose token is its own.
               [&](const Stored& f) {
                   return Costs{.token = f.path == folder + "com.ondrix.iid-keypair.plist", .topic = true};
               },
               15);
}

}  // namespace
