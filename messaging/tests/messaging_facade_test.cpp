#include <gtest/gtest.h>

#include "core/QRVApp.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "messaging/QRVMessaging.h"
#include "messaging/QRVMessagingClient.h"
#include "messaging/QRVMessagingInstanceIDProxy.h"
#include "messaging/QRVMessagingUtilities.h"
#include "messaging_log_lines.h"
#include "platform/application.h"
#include "platform/block_object.h"
#include "platform/clock.h"
#include "platform/date_formatter.h"
#include "platform/format.h"
#include "platform/sandbox.h"
#include "platform/notification_center.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "platform/system_log.h"
#include "testing/app_backend.h"
#include "testing/temp_sandbox.h"
#include "uikit/UserNotifications.h"

namespace {

// Instance identity as a runtime object that records what messaging asks.
class FakeInstanceID : public ns::Object {
public:
    std::string className() const override { return "MessagingTestInstanceID"; }
    std::vector<std::string> calls;
    std::optional<std::string> token;

    static std::shared_ptr<FakeInstanceID> make() {
        using Args = std::vector<ns::Value>;
        auto& cls = ns::Runtime::registerClass("MessagingTestInstanceID");
        auto self = [](ns::Object* o) -> FakeInstanceID& { return *static_cast<FakeInstanceID*>(o); };
        cls.addInstanceMethod("setAPNSToken:type:", [self](ns::Object* o, const Args& a) {
            self(o).calls.push_back(ns::format("apns %zu bytes type %lld", a.at(0).asData().size(),
                                               static_cast<long long>(a.at(1).intValue())));
            return ns::Value();
        });
        cls.addInstanceMethod("token", [self](ns::Object* o, const Args&) {
            return self(o).token ? ns::Value(*self(o).token) : ns::Value();
        });
        cls.addInstanceMethod("tokenWithAuthorizedEntity:scope:options:handler:", [self](ns::Object* o, const Args& a) {
            self(o).calls.push_back("fetch " + a.at(0).asString() + " " + a.at(1).asString() + " " +
                                    (a.at(2).asDictionary().contains("apns_token") ? "with apns" : "without apns"));
            ns::BlockObject::call(a.at(3), {ns::Value("tok-1"), ns::Value()});
            return ns::Value();
        });
        cls.addInstanceMethod("deleteTokenWithAuthorizedEntity:scope:handler:", [self](ns::Object* o, const Args& a) {
            self(o).calls.push_back("delete " + a.at(0).asString() + " " + a.at(1).asString());
            ns::BlockObject::call(a.at(2), {ns::Value()});
            return ns::Value();
        });
        return std::make_shared<FakeInstanceID>();
    }
};

class MessagingFacade : public ::testing::Test {
protected:
    void SetUp() override {
        application_ = ns::Application::shared();
        application_->resetForTesting();
        application_->finishLaunching();
        application_->becomeActive();
        ns::cancelAllLocalNotifications();
        instanceID_ = FakeInstanceID::make();
        proxy_ = std::make_unique<QRVMessagingInstanceIDProxy>(instanceID_);
        messaging_ = QRVMessaging::messaging();
        messaging_->setInstanceIDProxyForTesting(proxy_.get());
    }
    void TearDown() override {
        messaging_.reset();
        QRVMessaging::resetForTesting();
        ns::cancelAllLocalNotifications();
        application_->resetForTesting();
        QRVApp::resetForTesting();
    }
    void postToken(const char* notification, ns::Value value) {
        ns::NotificationCenter::defaultCenter().post(notification, nullptr, {{"object", value}});
    }

    ns::testing::TempSandbox sandbox_;
    MessagingLogLines log_;
    std::shared_ptr<ns::Application> application_;
    std::shared_ptr<FakeInstanceID> instanceID_;
    std::unique_ptr<QRVMessagingInstanceIDProxy> proxy_;
    std::shared_ptr<QRVMessaging> messaging_;
};

TEST_F(MessagingFacade, StartsItsPartsAndKeepsTheLibraryVersion) {
    EXPECT_TRUE(messaging_->isClientSetup());
    EXPECT_TRUE(messaging_->client() && messaging_->receiver() && messaging_->pubsub() && messaging_->rmq2Manager() &&
                messaging_->dataMessageManager() && messaging_->syncMessageManager());
    EXPECT_EQ(QRVMessaging::messaging(), messaging_);
    EXPECT_TRUE(QRVMessaging::hasApplicationSupportSubDirectory(kQRVMessagingApplicationSupportSubDirectory));
    EXPECT_FALSE(messaging_->shouldEstablishDirectChannel());
    EXPECT_FALSE(messaging_->isDirectChannelEstablished());
    EXPECT_TRUE(log_.contains("I-QDX002000"));
}

TEST_F(MessagingFacade, PassesOnlyAChangedAPNsTokenToInstanceIdentity) {
    const ns::Data token(32, 0xab);
    messaging_->setAPNSToken(token, QRVMessagingAPNSTokenTypeSandbox);
    messaging_->setAPNSToken(token, QRVMessagingAPNSTokenTypeSandbox);
    messaging_->setAPNSToken(ns::Data(32, 0xcd));
    EXPECT_EQ(instanceID_->calls, (std::vector<std::string>{"apns 32 bytes type 1", "apns 32 bytes type 0"}));
    EXPECT_EQ(messaging_->APNSToken(), ns::Data(32, 0xcd));

    // Instance identity's own APNs notification only updates the kept token.
    postToken(kQRVMessagingAPNSTokenNotification, ns::Value(ns::Data(32, 0x01)));
    postToken(kQRVMessagingAPNSTokenNotification, ns::Value("not data"));
    EXPECT_EQ(messaging_->APNSToken(), ns::Data(32, 0x01));
    EXPECT_EQ(instanceID_->calls.size(), 2u);
    EXPECT_TRUE(log_.contains("I-QDX002016"));
}

TEST_F(MessagingFacade, TokenRequestsGoToInstanceIdentityOrFailAtOnce) {
    std::vector<std::string> answers;
    auto record = [&](const std::string& token, const ns::ErrorRef& error) {
        answers.push_back(error ? ns::format("error %@ %ld", error->domain(), error->code()) : "token " + token);
    };
    messaging_->retrieveQDXTokenForSenderID("", record);
    messaging_->retrieveQDXTokenForSenderID("", nullptr);
    messaging_->retrieveQDXTokenForSenderID("4711", record);
    messaging_->setAPNSToken(ns::Data(32, 7));
    messaging_->retrieveQDXTokenForSenderID("4711", record);
    messaging_->deleteQDXTokenForSenderID("", [&](const ns::ErrorRef& error) { answers.push_back(error->localizedDescription()); });
    messaging_->deleteQDXTokenForSenderID("4711", [&](const ns::ErrorRef& error) { answers.push_back(error ? "x" : "deleted"); });
    EXPECT_EQ(answers, (std::vector<std::string>{
                           "error com.ondrix.qdx 7", "token tok-1", "token tok-1",
                           "Couldn't delete token because a Sender ID was not supplied. A valid Sender ID is required "
                           "to delete an QDX token",
                           "deleted"}));
    EXPECT_EQ(instanceID_->calls, (std::vector<std::string>{"fetch 4711 * without apns", "apns 32 bytes type 0",
                                                           "fetch 4711 * with apns", "delete 4711 *"}));
    EXPECT_TRUE(log_.contains("I-QDX002020"));
    EXPECT_TRUE(log_.contains("I-QDX002022"));
}

TEST_F(MessagingFacade, WithoutInstanceIdentityTokenRequestsStillComplete) {
    QRVMessagingInstanceIDProxy nobody(nullptr);
    messaging_->setInstanceIDProxyForTesting(&nobody);
    int fetched = 0, deleted = 0;
    messaging_->retrieveQDXTokenForSenderID("4711", [&](const std::string& token, const ns::ErrorRef& error) {
        EXPECT_TRUE(token.empty());
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "com.ondrix.qdx");
        ++fetched;
    });
    messaging_->deleteQDXTokenForSenderID("4711", [&](const ns::ErrorRef& error) {
        EXPECT_TRUE(error);
        ++deleted;
    });
    ns::RunLoop::main().runUntil([&] { return fetched && deleted; }, 5);
    EXPECT_EQ(fetched, 1);
    EXPECT_EQ(deleted, 1);
    EXPECT_TRUE(messaging_->QDXToken().empty());
    messaging_->setInstanceIDProxyForTesting(proxy_.get());
}

class TokenDelegate : public QRVMessagingDelegate {
public:
    void messagingDidRefreshRegistrationToken(const std::shared_ptr<QRVMessaging>&, const std::string& token) override {
        tokens.push_back(token);
    }
    void messagingDidReceiveMessage(const std::shared_ptr<QRVMessaging>&,
                                    const std::shared_ptr<QRVMessagingRemoteMessage>& message) override {
        messages.push_back("messaging: " + ns::Value(message->appData()).description());
    }
    void applicationReceivedRemoteMessage(const std::shared_ptr<QRVMessagingRemoteMessage>& message) override {
        messages.push_back("application: " + ns::Value(message->appData()).description());
    }
    std::vector<std::string> tokens;
    std::vector<std::string> messages;
};

TEST_F(MessagingFacade, TellsTheDelegateOfRefreshedTokensAndKeepsTheDefaultOne) {
    auto delegate = std::make_shared<TokenDelegate>();
    messaging_->setRemoteMessageDelegate(delegate);
    EXPECT_EQ(messaging_->delegate(), delegate);
    int refreshedPosts = 0;
    auto token = ns::NotificationCenter::defaultCenter().addObserver(
        kQRVMessagingRegistrationTokenRefreshedNotification, nullptr, nullptr,
        [&](const ns::Notification&) { ++refreshedPosts; });

    // No token from instance identity: nothing happens.
    postToken(kQRVMessagingInstanceIDTokenRefreshNotification, ns::Value());
    EXPECT_TRUE(delegate->tokens.empty());

    instanceID_->token = "refreshed-token";
    postToken(kQRVMessagingInstanceIDTokenRefreshNotification, ns::Value());
    EXPECT_EQ(delegate->tokens, std::vector<std::string>{"refreshed-token"});
    EXPECT_EQ(refreshedPosts, 1);
    EXPECT_EQ(messaging_->QDXToken(), "refreshed-token");

    postToken(kQRVMessagingQDXTokenNotification, ns::Value("default-token"));
    postToken(kQRVMessagingQDXTokenNotification, ns::Value(int64_t(5)));
    EXPECT_EQ(messaging_->defaultQdxToken(), "default-token");
    EXPECT_TRUE(log_.contains("I-QDX002015"));
    ns::NotificationCenter::defaultCenter().removeObserver(token);

    // Held weakly.
    delegate.reset();
    EXPECT_EQ(messaging_->delegate(), nullptr);
}

// Delegates that declare, through their runtime class, which optional
// methods they implement.
class DeclaredDelegate : public ns::Object, public TokenDelegate {
public:
    explicit DeclaredDelegate(std::string cls) : cls_(std::move(cls)) {}
    std::string className() const override { return cls_; }

private:
    std::string cls_;
};

TEST_F(MessagingFacade, DirectChannelMessagesReachTheDelegateMethodItHas) {
    ns::Runtime::registerClass("OnlyApplicationReceived")
        .addInstanceMethod("applicationReceivedRemoteMessage:", [](ns::Object*, const std::vector<ns::Value>&) {
            return ns::Value();
        });
    ns::Runtime::registerClass("NoMessageMethods");
    struct Case {
        std::shared_ptr<DeclaredDelegate> delegate;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {std::make_shared<DeclaredDelegate>("OnlyApplicationReceived"), {"application: {\n    oferta = 2x1;\n}"}},
        {std::make_shared<DeclaredDelegate>("NoMessageMethods"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delegate->className());
        messaging_->setDelegate(c.delegate);
        messaging_->receiver()->didReceiveMessage({{"oferta", "2x1"}}, "p1");
        EXPECT_EQ(c.delegate->messages, c.expected);
    }
    EXPECT_TRUE(log_.contains("I-QDX002019"));

    // A plain C++ delegate takes messaging:didReceiveMessage:.
    auto plain = std::make_shared<TokenDelegate>();
    messaging_->setDelegate(plain);
    messaging_->receiver()->didReceiveMessage({{"oferta", "2x1"}}, "p2");
    EXPECT_EQ(plain->messages, std::vector<std::string>{"messaging: {\n    oferta = 2x1;\n}"});
}

std::string deviceTime(double secondsSince1970) {
    ns::DateFormatter formatter("yyyy-MM-dd HH:mm:ss");
    formatter.setTimeZoneNamed(ns::Sandbox::current()->deviceProfile().timeZone);
    return formatter.stringFromDate(ns::Date{secondsSince1970});
}

TEST_F(MessagingFacade, HandlesEachNotificationIdOnce) {
    const ns::Dictionary m1{{"kdx.message_id", "m1"},
                            {"aps", ns::Dictionary{{"alert", "Hoy 2x1"}}},
                            {"ondrix.c.cm.lt_start", deviceTime(ns::Clock::nowSeconds() + 3600)}};
    EXPECT_EQ(messaging_->appDidReceiveMessage({})->status(), 0);
    EXPECT_EQ(messaging_->appDidReceiveMessage(m1)->status(), 1);
    EXPECT_EQ(messaging_->appDidReceiveMessage(m1)->status(), 1);
    EXPECT_EQ(ns::scheduledLocalNotifications().size(), 1u);

    // Without an id every copy is handled.
    ns::Dictionary anonymous = m1;
    anonymous.erase("kdx.message_id");
    messaging_->appDidReceiveMessage(anonymous);
    messaging_->appDidReceiveMessage(anonymous);
    EXPECT_EQ(ns::scheduledLocalNotifications().size(), 3u);
}

TEST_F(MessagingFacade, RefusesTopicsWithoutATokenOrAValidName) {
    struct Case {
        const char* topic;
        const char* normalized;
    };
    const Case cases[] = {{"ofertas", "/topics/ofertas"},
                          {"/topics/ofertas", "/topics/ofertas"},
                          {"a-b_c.d~e%20", "/topics/a-b_c.d~e%20"},
                          {"con espacio", ""},
                          {"/topics/", ""},
                          {"ñandú", ""}};
    for (const Case& c : cases) EXPECT_EQ(QRVMessaging::normalizeTopic(c.topic), c.normalized) << c.topic;

    messaging_->subscribeToTopic("ofertas");
    messaging_->unsubscribeFromTopic("ofertas");
    EXPECT_TRUE(log_.contains("I-QDX002010"));
    EXPECT_TRUE(log_.contains("I-QDX002012"));
    postToken(kQRVMessagingQDXTokenNotification, ns::Value("default-token"));
    messaging_->subscribeToTopic("con espacio");
    messaging_->unsubscribeFromTopic("con espacio");
    EXPECT_TRUE(log_.contains("I-QDX002009"));
    EXPECT_TRUE(log_.contains("I-QDX002011"));
}

TEST_F(MessagingFacade, BuildsUpstreamMessages) {
    const ns::Dictionary built =
        QRVMessaging::createQRVMessagingMessageWithMessage({{"pedido", "42"}}, "4711@gcm.ondrix.com", "", 600, 0);
    EXPECT_EQ(built, (ns::Dictionary{{"ondrix.to", "4711@gcm.ondrix.com"},
                                     {"ondrix.msg_id", ""},
                                     {"ondrix.ttl", int64_t(600)},
                                     {"ondrix.delay", int64_t(0)},
                                     {"ondrix.data", ns::Dictionary{{"pedido", "42"}}}}));
}

TEST_F(MessagingFacade, WantsTheChannelOnlyInFrontWithAToken) {
    application_->enterBackground();
    messaging_->setShouldEstablishDirectChannel(true);
    EXPECT_FALSE(messaging_->client()->shouldStayConnected());
    application_->enterForeground();
    application_->becomeActive();
    EXPECT_FALSE(messaging_->client()->shouldStayConnected());  // no token yet
    // The token arrives; without check-in credentials the client stays wanted
    // but unconnected.
    postToken(kQRVMessagingQDXTokenNotification, ns::Value("default-token"));
    EXPECT_TRUE(messaging_->client()->shouldStayConnected());
    EXPECT_FALSE(messaging_->client()->isConnected());
    EXPECT_TRUE(log_.contains("I-QDX004009"));
}

TEST(MessagingConfiguration, AnAppWithoutSenderIDStopsTheProgram) {
    ns::testing::TempSandbox sandbox;
    std::vector<std::string> diagnostics;
    auto token = ns::NotificationCenter::defaultCenter().addObserver(
        kQRVAppDiagnosticsNotification, nullptr, nullptr, [&](const ns::Notification&) { diagnostics.push_back("sent"); });
    auto options = std::make_shared<QRVOptions>(ns::Dictionary{{"ONDRIX_APP_ID", ns::testing::kTestAppID},
                                                               {"API_KEY", "AKlocal"},
                                                               {"PROJECT_ID", "almavel-pa"}});
    // Instance identity (in this program too) may stop it first; messaging
    // is then asked directly.
    try {
        QRVApp::configure(options);
    } catch (const ns::Exception&) {
    }
    auto app = QRVApp::defaultApp();
    ASSERT_TRUE(app);
    diagnostics.clear();
    try {
        QRVMessaging::messaging()->configureMessaging(app);
        ADD_FAILURE() << "no exception";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), "com.quorvane.cloudmessaging");
        EXPECT_NE(e.reason().find("Ondrix Sender ID must not be nil or empty."), std::string::npos);
    }
    EXPECT_EQ(diagnostics.size(), 1u);
    EXPECT_TRUE(QRVMessaging::messaging()->qdxSenderID().empty());
    ns::NotificationCenter::defaultCenter().removeObserver(token);
    QRVMessaging::resetForTesting();
    QRVApp::resetForTesting();
}

}  // namespace
