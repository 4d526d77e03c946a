// A new phone's first launch ended at each of its store writes in turn (a
// second process run with ALMAVEL_END_AT_WRITE, killed as a phone ends an
// app), then launched again over what it left: a token that reached the
// keychain before the end is the one the next launch uses, without
// registering again, and whatever token is used names the identity in use.
// The writes run from the first identity's key items and key-pair list
// through the check-in to the token; whichever key items reached the
// keychain are the identity the next launch uses (same key, same
// identifier), none of them overwritten.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "iid_test_support.h"
#include "instanceid/QRVInstanceIDKeyPair.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "platform/host_routing.h"
#include "platform/keychain.h"
#include "platform/plist.h"
#include "platform/store_writes.h"
#include "platform/trust_store.h"
#include "testing/child_process.h"


using namespace iidtest;

namespace {

constexpr const char* kPhoneEnv = "ALMAVEL_IID_FIRST_LAUNCH_PHONE";
constexpr const char* kReportName = "first-launch-report";
constexpr const char* kLogName = "first-launch.log";

void writeInfoPlistOf(ns::testing::TempSandbox& phone) {
    phone.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", kBundleID},
                                                       {"CFBundleShortVersionString", "1.0"}});
}

// The routes this process gives the back end, as ALMAVEL_ROUTES spells them.
std::string routesForAnotherProcess() {
    std::string routes;
    for (const auto& route : ns::HostRouting::shared().routes()) {
        if (!routes.empty()) routes += ",";
        routes += route.pattern + ":" + std::to_string(route.originalPort) + "=" + route.destination.address + ":" +
                  std::to_string(route.destination.port);
    }
    return routes;
}

// Runs this binary's first-launch half on `root`, ended before its
// `endAtWrite`-th store write (0: not ended), its output in the phone's log.
// Returns the exit status (128 + the signal when killed).
int runFirstLaunch(const std::string& root, uint64_t endAtWrite, bool trace) {
    return ns::testing::runThisTestAgain("IidFirstLaunchProcess.*",
                                         {{kPhoneEnv, root},
                                          {"ALMAVEL_ROUTES", routesForAnotherProcess()},
                                          {"ALMAVEL_END_AT_WRITE", endAtWrite > 0 ? std::to_string(endAtWrite) : ""},
                                          {"ALMAVEL_WRITE_TRACE", trace ? "1" : ""}},
                                         root + "/" + kLogName);
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// "store write k: what" lines of a traced run.
std::map<uint64_t, std::string> writeNames(const std::string& log) {
    std::map<uint64_t, std::string> names;
    static const std::regex line(R"(store write (\d+): ([^\n]*))");
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
        names[std::stoull((*it)[1].str())] = (*it)[2].str();
    }
    return names;
}

// The default token in the phone's keychain, read without going through
// instance identity (whose first keychain use writes a probe item).
std::optional<std::string> defaultTokenOnDisk() {
    ns::Dictionary query = QRVInstanceIDAuthKeychain::keychainQueryForService(
        "*", kSenderID, std::nullopt, kQRVInstanceIDTokenKeychainGeneric, false);
    query[ns::kSecReturnData] = true;
    ns::Value found;
    if (ns::SecItemCopyMatching(query, &found) != ns::errSecSuccess || !found.isData()) return std::nullopt;
    const ns::Data& bytes = found.asData();
    return QRVInstanceIDTokenStore::actualTokenFromCachedToken(std::string(bytes.begin(), bytes.end()));
}

// The key items in the phone's keychain, read as the default token is.
struct KeyItems {
    std::optional<ns::Data> privateKey;
    std::optional<ns::Data> publicKey;
};

KeyItems keyItemsOnDisk() {
    return {QRVInstanceIDKeyPair::keyDataWithTag(
                QRVInstanceIDKeyPairStore::privateTagWithSubtype(kQRVInstanceIDKeyPairSubType)),
            QRVInstanceIDKeyPair::keyDataWithTag(
                QRVInstanceIDKeyPairStore::publicTagWithSubtype(kQRVInstanceIDKeyPairSubType))};
}

// The identifier the key-pair list records, if any.
std::optional<std::string> listedIdentity() {
    const std::string path =
        QRVInstanceIDStore::pathForApplicationSupportSubDirectory(kQRVInstanceIDApplicationSupportSubDirectory) + "/" +
        QRVInstanceIDKeyPairStore::keyStoreFileName() + ".plist";
    const ns::Value list = ns::plist::readFile(path);
    const std::string* id = list[QRVInstanceIDKeyPairStore::appIDKeyWithSubtype(kQRVInstanceIDKeyPairSubType)]
                                .stringOrNull();
    return id ? std::optional<std::string>(*id) : std::nullopt;
}

// The identity in use after the next launch is the one whose key items the
// end left: the items as they were, the two halves of one key, the
// identifier that key's.
void expectTheSameIdentity(const KeyItems& before, const std::optional<std::string>& listedBefore,
                           const std::string& identity) {
    const KeyItems after = keyItemsOnDisk();
    if (before.privateKey) {
        EXPECT_EQ(after.privateKey, before.privateKey) << "the private key item was overwritten";
    }
    if (before.publicKey) {
        EXPECT_EQ(after.publicKey, before.publicKey) << "the public key item was overwritten";
    }
    ASSERT_TRUE(after.privateKey && after.publicKey) << "no whole key pair in the keychain";
    const ns::crypto::RSAKeyPtr key = ns::crypto::RSAKey::importPrivateKey(*after.privateKey);
    ASSERT_TRUE(key);
    EXPECT_EQ(*after.publicKey, key->exportPublicKey()) << "the key items are halves of different keys";
    EXPECT_EQ(QRVInstanceIDKeyPair::appIdentityWithPublicKeyData(*after.publicKey), identity);
    if (listedBefore) {
        EXPECT_EQ(*listedBefore, identity) << "the identifier on record changed";
    }
    EXPECT_EQ(listedIdentity(), identity);
}

}  // namespace

// The first-launch half: skipped unless started by the test below. Launches
// instance identity on the phone it is given and reports, once the default
// token is known, how many store writes the process had made and the token.
TEST(IidFirstLaunchProcess, LaunchesOnThePhoneItIsGiven) {
    const char* root = std::getenv(kPhoneEnv);
    if (!root) GTEST_SKIP() << "runs only as the second process of another test";
    ns::Sandbox::setCurrent(ns::Sandbox::open(root));
    ASSERT_TRUE(ns::TrustStore::shared().addAnchorFile(ns::testing::Backend::caPath()));
    auto clock = ns::VirtualClock::install();
    QRVApp::resetForTesting();
    QRVInstanceID::resetForTesting();
    QRVApp::configure(std::make_shared<QRVOptions>(kApp.options()));
    auto iid = QRVInstanceID::instanceID();
    ASSERT_TRUE(pumpUntil([&] { return iid->defaultQDXToken().has_value(); }));
    std::ofstream(std::string(root) + "/" + kReportName) << ns::storeWrites::count() << " " << *iid->defaultQDXToken();
}

TEST_F(IidBackendTest, ATokenStoredBeforeTheFirstLaunchEndsIsTheNextLaunchsToken) {
    // A whole first launch names the writes it makes up to the default token.
    uint64_t writesUntilToken = 0;
    std::map<uint64_t, std::string> names;
    {
        ns::testing::TempSandbox phone;
        writeInfoPlistOf(phone);
        ASSERT_EQ(runFirstLaunch(phone.root(), 0, true), 0) << readText(phone.root() + "/" + kLogName);
        std::istringstream(readText(phone.root() + "/" + kReportName)) >> writesUntilToken;
        names = writeNames(readText(phone.root() + "/" + kLogName));
    }
    ASSERT_GT(writesUntilToken, 0u) << "the first launch stores nothing before its token";

    // Ended before each of those writes, and before the first write after
    // the token is known (or not at all when there is none).
    int endsWithATokenOnDisk = 0;
    for (uint64_t end = 1; end <= writesUntilToken + 1; ++end) {
        SCOPED_TRACE(::testing::Message() << "ended before store write " << end << " ("
                                          << (names.contains(end) ? names[end] : "none") << ")");
        ns::testing::TempSandbox phone;
        writeInfoPlistOf(phone);
        const int status = runFirstLaunch(phone.root(), end, false);
        ASSERT_TRUE(status == 128 + SIGKILL || (status == 0 && end == writesUntilToken + 1))
            << "status " << status << "\n" << readText(phone.root() + "/" + kLogName);
        phone.relaunch();
        const std::optional<std::string> stored = defaultTokenOnDisk();
        const KeyItems itemsBefore = keyItemsOnDisk();
        const std::optional<std::string> listedBefore = listedIdentity();
        const int64_t registrationsBefore = count("registrations");

        QRVInstanceID::resetForTesting();
        QRVApp::resetForTesting();
        phone.relaunch();
        configure();
        auto iid = QRVInstanceID::instanceID();
        if (stored) {
            ++endsWithATokenOnDisk;
            // Taken from the keychain as the launch configures, before any request.
            EXPECT_EQ(iid->defaultQDXToken(), stored);
        }
        ASSERT_TRUE(pumpUntil([&] { return iid->defaultQDXToken().has_value(); })) << backend_->log();
        settle();
        const std::string token = *iid->defaultQDXToken();
        if (stored) {
            EXPECT_EQ(token, *stored);
            EXPECT_EQ(count("registrations"), registrationsBefore) << "registered again";
        }
        const std::string identity = iid->appInstanceID().value_or("");
        ASSERT_FALSE(identity.empty());
        EXPECT_EQ(token.rfind(identity + ":", 0), 0u) << token << " belongs to another identity than " << identity;
        expectTheSameIdentity(itemsBefore, listedBefore, identity);
        QRVInstanceID::resetForTesting();
        QRVApp::resetForTesting();
    }
    EXPECT_GT(endsWithATokenOnDisk, 0) << "no end left a token on disk";
}
