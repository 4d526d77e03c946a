// Instance identity against the local check-in and registration services:
// the launch, the cache across runs, what invalidates it, server commands,
// deletions and the clean-up after a reinstall.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "iid_test_support.h"
#include "instanceid/QRVInstanceIDCheckin.h"
#include "instanceid/QRVInstanceIDKeyPair.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "platform/file_manager.h"
#include "platform/keychain.h"
#include "platform/runtime.h"
#include "platform/user_defaults.h"

using namespace iidtest;

namespace {

std::string applicationSupportFile(const std::string& name) {
    return ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) +
           "/Ondrix/QuorvaneInstanceID/" + name + ".plist";
}

std::optional<std::string> storedCheckinCredentials() {
    QRVInstanceIDAuthKeychain keychain(kQRVInstanceIDCheckinKeychainGeneric);
    return keychain.passwordForService(kQRVInstanceIDCheckinKeychainService, kQRVInstanceIDCheckinKeychainAccount,
                                       keychain.defaultAccessGroup());
}

std::optional<std::string> cachedToken(const std::string& scope) {
    return QRVInstanceIDTokenStore::defaultStore()->tokenWithAuthorizedEntity(kSenderID, scope);
}

// Messaging is found by class name; its presence puts the APNs token into
// default-token requests.
void pretendMessagingIsPresent() { ns::Runtime::registerClass("QRVMessaging"); }

}  // namespace

TEST_F(IidBackendTest, ALaunchChecksInRegistersTheDefaultTokenAndAnnouncesIt) {
    NotificationLog announced(kQRVInstanceIDDefaultKDXTokenNotification);
    const std::string token = launchAndWaitForDefaultToken();
    ASSERT_FALSE(token.empty());

    // The check-in: credentials in the keychain, the rest in the property list.
    auto credentials = storedCheckinCredentials();
    ASSERT_TRUE(credentials);
    auto devices = admin("/__admin/iid/devices")["devices"];
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(*credentials, std::to_string(devices[0]["id"].get<uint64_t>()) + "|" +
                                QRVInstanceIDCheckinPreferences::checkinSecretFromKeychainContent(*credentials));
    EXPECT_TRUE(ns::FileManager::defaultManager().fileExists(applicationSupportFile("o-checkin")));
    EXPECT_TRUE(ns::FileManager::defaultManager().isExcludedFromBackup(applicationSupportFile("o-checkin")));

    // The identifier the service checked against the key is the one handed out.
    ns::ErrorRef error;
    auto identity = QRVInstanceID::instanceID()->appInstanceID(&error);
    ASSERT_TRUE(identity) << (error ? error->description() : "");
    ASSERT_EQ(identity->size(), 11u);
    EXPECT_NE(std::string("cdef").find(identity->front()), std::string::npos);
    auto registered = registrations();
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0]["appid"], *identity);
    EXPECT_EQ(registered[0]["scope"], "*");
    EXPECT_EQ(registered[0]["sender"], kSenderID);
    EXPECT_EQ(registered[0]["appId"], kAppID);
    EXPECT_EQ(registered[0]["token"], token);
    auto log = requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["contentType"], kQRVInstanceIDFormContentType);
    EXPECT_EQ(log[0]["form"]["X-kid"], "1");
    EXPECT_EQ(log[0]["appHeader"], kBundleID);

    settle();
    ASSERT_EQ(announced.posts.size(), 1u);
    EXPECT_EQ(announced.posts[0].userInfo.at(kQRVInstanceIDNotificationValueKey), ns::Value(token));
    // Asked again, the token comes from the cache.
    EXPECT_EQ(QRVInstanceID::instanceID()->token(), token);
    EXPECT_EQ(count("registrations"), 1);
}

TEST_F(IidBackendTest, ALaterRunAnswersFromTheCacheUntilTheVersionOrTheAPNsTokenChanges) {
    const std::string first = launchAndWaitForDefaultToken();
    const int64_t checkins = count("checkins");

    relaunch();
    configure();
    auto iid = QRVInstanceID::instanceID();
    // Set from the keychain cache during configuration, with no request.
    EXPECT_EQ(iid->defaultQDXToken(), first);
    settle();
    EXPECT_EQ(count("registrations"), 1);
    EXPECT_EQ(count("checkins"), checkins);

    // A new app version makes the cached token stale.
    relaunch();
    writeInfoPlist("1.1");
    configure();
    iid = QRVInstanceID::instanceID();
    EXPECT_FALSE(iid->defaultQDXToken());
    ASSERT_TRUE(pumpUntil([&] { return iid->defaultQDXToken().has_value(); }));
    EXPECT_EQ(count("registrations"), 2);

    // So does a new APNs token (messaging hands it over).
    pretendMessagingIsPresent();
    iid->setAPNSToken(ns::Data{0x0a, 0xff, 0x10}, QRVInstanceIDAPNSTokenTypeProd);
    ASSERT_TRUE(pumpUntil([&] { return count("registrations") == 3; }));
    ASSERT_TRUE(pumpUntil([&] { return registrations()[0]["apnsToken"] == "p_0aff10"; }));
    // The same token again changes nothing.
    iid->setAPNSToken(ns::Data{0x0a, 0xff, 0x10}, QRVInstanceIDAPNSTokenTypeProd);
    settle();
    EXPECT_EQ(count("registrations"), 3);
}

TEST_F(IidBackendTest, ResetCommandRegeneratesTheKeyPairAndSyncCommandRefreshes) {
    launchAndWaitForDefaultToken();
    settle();  // the launch's own refresh notification
    auto iid = QRVInstanceID::instanceID();
    const std::string before = iid->appInstanceID().value_or("");
    NotificationLog refresh(kQRVInstanceIDTokenRefreshNotification);

    addFault("sync");
    std::optional<std::string> synced;
    iid->tokenWithAuthorizedEntity(kSenderID, "sync-scope", {}, [&](std::optional<std::string> t, ns::ErrorRef e) {
        EXPECT_FALSE(e);
        synced = t;
    });
    ASSERT_TRUE(pumpUntil([&] { return synced.has_value(); }));
    EXPECT_FALSE(synced->empty());
    EXPECT_EQ(synced->find('|'), std::string::npos);
    // The refresh comes two seconds later, with the cached tokens gone.
    EXPECT_TRUE(refresh.posts.empty());
    advance(2);
    ASSERT_TRUE(pumpUntil([&] { return refresh.posts.size() == 1; }));
    EXPECT_FALSE(refresh.posts[0].object);
    EXPECT_FALSE(cachedToken("*"));
    EXPECT_EQ(iid->appInstanceID(), before);

    addFault("rst");
    std::optional<std::string> reset;
    iid->tokenWithAuthorizedEntity(kSenderID, "*", {}, [&](std::optional<std::string> t, ns::ErrorRef) { reset = t; });
    ASSERT_TRUE(pumpUntil([&] { return reset.has_value(); }));
    advance(2);
    ASSERT_TRUE(pumpUntil([&] { return refresh.posts.size() == 2; }));
    // The identity was lost: a new key pair gives a new identifier.
    auto after = iid->appInstanceID();
    ASSERT_TRUE(after);
    EXPECT_NE(*after, before);
}

TEST_F(IidBackendTest, DeletingATokenDeletesItOnTheServiceAndInTheCache) {
    launchAndWaitForDefaultToken();
    ASSERT_TRUE(cachedToken("*"));
    ns::ErrorRef error = ns::Error::make("unset", 1);
    bool done = false;
    QRVInstanceID::instanceID()->deleteTokenWithAuthorizedEntity(kSenderID, "*", [&](ns::ErrorRef e) {
        error = e;
        done = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    EXPECT_FALSE(error) << error->description();
    EXPECT_FALSE(cachedToken("*"));
    EXPECT_TRUE(registrations().empty());
    EXPECT_EQ(count("deletes"), 1);
}

TEST_F(IidBackendTest, AReinstallDeletesTheEarlierRegistrationsOnTheService) {
    launchAndWaitForDefaultToken();
    auto iid = QRVInstanceID::instanceID();
    bool done = false;
    iid->tokenWithAuthorizedEntity(kSenderID, "qdx",
                                   {{kQRVInstanceIDRegisterAPNSOption, ns::Data{1, 2, 3}},
                                    {kQRVInstanceIDAPNSServerTypeSandboxOption, false}},
                                   [&](std::optional<std::string> t, ns::ErrorRef e) {
                                       EXPECT_TRUE(t) << (e ? e->description() : "") << requests().dump();
                                       done = true;
                                   });
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    const uint64_t oldDevice = admin("/__admin/iid/devices")["devices"][0]["id"].get<uint64_t>();
    auto qdxRegistrations = [&] {
        size_t n = 0;
        for (const auto& r : registrations()) n += r["scope"] == "qdx" && r["device"] == oldDevice;
        return n;
    };
    ASSERT_EQ(qdxRegistrations(), 1u);

    // Removing the app takes its files and defaults; the keychain stays.
    relaunch();
    ns::FileManager::defaultManager().removeItem(
        ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/Ondrix");
    ns::UserDefaults::standard()->removePersistentDomain();
    configure();
    ASSERT_TRUE(pumpUntil([&] { return qdxRegistrations() == 0; }));
    // And the new installation checks in afresh.
    auto fresh = QRVInstanceID::instanceID();
    ASSERT_TRUE(pumpUntil([&] { return fresh->defaultQDXToken().has_value(); }));
    EXPECT_EQ(admin("/__admin/iid/devices")["devices"].size(), 2u);
}

// The key-pair file holds the pair's creation time; a pair without it counts
// as an earlier installation's and is replaced by a new one with a new id, as
// is a pair the keychain no longer holds or cannot read. The tokens cached for
// the old id must go with it, or the old identity would stay in use behind
// the new one.
TEST_F(IidBackendTest, ANewIdentityGetsItsOwnTokenAndAnUndamagedOneKeepsItsToken) {
    const std::string keyPairFile = applicationSupportFile("com.ondrix.iid-keypair");
    const std::string privateTag = QRVInstanceIDKeyPairStore::privateTagWithSubtype(kQRVInstanceIDKeyPairSubType);
    const std::string publicTag = QRVInstanceIDKeyPairStore::publicTagWithSubtype(kQRVInstanceIDKeyPairSubType);
    auto rewrite = [&](const std::function<void(std::string&)>& change) {
        std::string bytes;
        {
            std::ifstream in(keyPairFile, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), {});
        }
        ASSERT_FALSE(bytes.empty());
        change(bytes);
        std::ofstream(keyPairFile, std::ios::binary | std::ios::trunc) << bytes;
    };
    struct Case {
        const char* name;
        std::function<void()> damage;
        bool newIdentity;
    };
    const std::vector<Case> cases = {
        {"undamaged", [] {}, false},
        {"deleted", [&] { ASSERT_TRUE(ns::FileManager::defaultManager().removeItem(keyPairFile)); }, true},
        {"emptied", [&] { rewrite([](std::string& b) { b.clear(); }); }, true},
        {"bytes flipped",
         [&] {
             rewrite([](std::string& b) {
                 for (size_t i = 0; i < b.size(); i += 7) b[i] = char(~b[i]);
             });
         },
         true},
        {"its keychain items gone", [&] { QRVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(privateTag, publicTag); },
         true},
        {"its private key unreadable",
         [&] {
             ns::SecItemDelete(QRVInstanceIDKeyPair::queryDictWithTag(privateTag, false, false));
             ns::Dictionary item = QRVInstanceIDKeyPair::queryDictWithTag(privateTag, false, false);
             item[ns::kSecAttrKeyClass] = ns::kSecAttrKeyClassPrivate;
             item[ns::kSecValueData] = ns::Data{0x30, 0x03, 0x02, 0x01, 0x00};
             ASSERT_EQ(ns::SecItemAdd(item), ns::errSecSuccess);
         },
         true},
        {"undamaged after a new identity", [] {}, false},
    };
    std::string token = launchAndWaitForDefaultToken();
    std::string id = QRVInstanceID::instanceID()->appInstanceID().value_or("");
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(token.rfind(id + ":", 0), 0u) << token << " for " << id;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        relaunch();
        c.damage();
        configure();
        auto iid = QRVInstanceID::instanceID();
        if (!c.newIdentity) {
            EXPECT_EQ(iid->defaultQDXToken(), token);
            EXPECT_EQ(iid->token(), token);
            EXPECT_EQ(iid->appInstanceID(), id);
            EXPECT_EQ(cachedToken("*"), token);
            continue;
        }
        // The old token is not handed out, not even before the new one comes.
        EXPECT_NE(iid->defaultQDXToken(), token);
        EXPECT_NE(iid->token(), token);
        ASSERT_TRUE(pumpUntil([&] { return iid->defaultQDXToken().has_value(); })) << backend_->log();
        const std::string newToken = *iid->defaultQDXToken();
        const std::string newID = iid->appInstanceID().value_or("");
        EXPECT_NE(newID, id);
        EXPECT_EQ(newToken.rfind(newID + ":", 0), 0u) << newToken << " for " << newID;
        EXPECT_EQ(iid->token(), newToken);
        EXPECT_EQ(cachedToken("*"), newToken);
        token = newToken;
        id = newID;
    }
}
