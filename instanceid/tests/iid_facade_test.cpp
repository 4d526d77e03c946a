// The facade's local behaviour: server commands, the APNs environment read
// from the embedded provisioning profile, and deleting the identity.

#include <gtest/gtest.h>

#include "iid_test_support.h"
#include "instanceid/QRVInstanceID.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "platform/file_manager.h"

using namespace iidtest;

namespace {

// A provisioning profile as the phone keeps it: binary around an XML plist.
std::string provisioningProfile(const std::string& environment) {
    std::string profile = std::string("\x30\x82\x10\x00\xff\x01", 6) +
                          "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                          "<key>ProvisionedDevices</key><array><string>abc</string></array>"
                          "<key>Entitlements</key><dict><key>aps-environment</key><string>" +
                          environment + "</string></dict></dict></plist>" + std::string("\x00\x9f\x80", 3);
    return profile;
}

}  // namespace

TEST_F(IidBackendTest, ServerCommandsActOnTheNextMainQueueTurn) {
    auto iid = QRVInstanceID::instanceID();
    auto store = iid->tokenManager().instanceIDStore();
    // The identity first: making it drops the tokens cached before it.
    const std::string before = iid->appInstanceID().value_or("");
    ASSERT_TRUE(store->saveToken("t", kSenderID, "*"));
    NotificationLog refresh(kQRVInstanceIDTokenRefreshNotification);

    // Not a dictionary, no command, or PING: nothing happens.
    iid->didReceiveKDXMessage(ns::Value("text"));
    iid->didReceiveKDXMessage(ns::Value(ns::Dictionary{{"subtype", "x"}}));
    iid->didReceiveKDXMessage(ns::Value(ns::Dictionary{{"CMD", "PING"}}));
    settle();
    EXPECT_TRUE(refresh.posts.empty());
    EXPECT_EQ(store->tokenWithAuthorizedEntity(kSenderID, "*"), "t");

    // Messaging delivers commands by notification; RST drops key pair and tokens.
    ns::NotificationCenter::defaultCenter().post(kQRVInstanceIDIIDMessageNotification, nullptr,
                                                 ns::Dictionary{{"CMD", "RST"}});
    EXPECT_TRUE(refresh.posts.empty());
    settle();
    ASSERT_EQ(refresh.posts.size(), 1u);
    EXPECT_FALSE(refresh.posts[0].object);
    EXPECT_FALSE(store->tokenWithAuthorizedEntity(kSenderID, "*"));
    EXPECT_NE(iid->appInstanceID().value_or(""), before);

    // RST_FULL with a key pair cached also announces itself.
    ASSERT_TRUE(store->saveToken("t2", kSenderID, "*"));
    iid->didReceiveKDXMessage(ns::Value(ns::Dictionary{{"CMD", "RST_FULL"}}));
    settle();
    EXPECT_EQ(refresh.posts.size(), 2u);
    EXPECT_FALSE(store->tokenWithAuthorizedEntity(kSenderID, "*"));
}

TEST_F(IidBackendTest, ADevelopmentProfileMakesAnUnknownAPNsTokenASandboxToken) {
    struct Case {
        std::string profile;  // "" for none
        std::string prefix;
    };
    const Case cases[] = {
        {provisioningProfile("development"), "s_"},
        {provisioningProfile("production"), "p_"},
        {"no plist in here", "p_"},
        {"", "p_"},
    };
    for (const Case& c : cases) {
        QRVInstanceID::resetForTesting();
        if (!c.profile.empty()) {
            sandbox_.writeBundleFile("embedded.mobileprovision", c.profile);
        } else {
            ns::FileManager::defaultManager().removeItem(sandbox_.sandbox()->bundlePath() + "/embedded.mobileprovision");
        }
        sandbox_.relaunch();
        auto iid = QRVInstanceID::instanceID();
        iid->setAPNSToken(ns::Data{0xab}, QRVInstanceIDAPNSTokenTypeUnknown);
        EXPECT_EQ(iid->apnsTokenString(), c.prefix + "ab") << c.profile;
        // An explicit type wins over the profile.
        iid->setAPNSToken(ns::Data{0xcd}, QRVInstanceIDAPNSTokenTypeProd);
        EXPECT_EQ(iid->apnsTokenString(), "p_cd");
    }
}

TEST_F(IidBackendTest, DeletingTheIdentityDeletesItsRegistrationsAndGivesANewIdentifier) {
    launchAndWaitForDefaultToken();
    auto iid = QRVInstanceID::instanceID();
    const std::string before = iid->appInstanceID().value_or("");
    ASSERT_FALSE(registrations().empty());
    std::optional<ns::ErrorRef> result;
    iid->deleteIDWithHandler([&](ns::ErrorRef e) { result = e; });
    ASSERT_TRUE(pumpUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(*result) << (*result)->description();
    EXPECT_TRUE(registrations().empty());
    EXPECT_FALSE(QRVInstanceIDTokenStore::defaultStore()->tokenWithAuthorizedEntity(kSenderID, "*"));
    std::optional<std::string> after;
    iid->getIDWithHandler([&](std::optional<std::string> identity, ns::ErrorRef) { after = identity.value_or("-"); });
    ASSERT_TRUE(pumpUntil([&] { return after.has_value(); }));
    EXPECT_EQ(after->size(), 11u);
    EXPECT_NE(*after, before);
}
