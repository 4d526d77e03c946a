#include <gtest/gtest.h>

#include <atomic>

#include "core/QRVApp.h"
#include "core/QRVLogger.h"
#include "platform/notification_center.h"
#include "platform/runtime.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "testing/app_backend.h"
#include "testing/temp_sandbox.h"

namespace {

ns::Dictionary sampleOptions() {
    return {{"ONDRIX_APP_ID", ns::testing::kTestAppID},
            {"API_KEY", "AKlocal"},
            {"KDX_SENDER_ID", "480326711275"},
            {"PROJECT_ID", "almavel-pa"},
            {"DATABASE_URL", "https://almavel-pa.quorvaneio.com"},
            {"STORAGE_BUCKET", "almavel-pa.quorvanestorage.com"}};
}

// Records what analytics' start would receive. Registered under the name the
// core looks up; every test starts with a clean count.
struct FakeAnalytics {
    static inline std::atomic<int> starts{0};
    static inline std::atomic<int> notificationsBeforeStart{0};
    static inline ns::Value configuration;
    static inline ns::Value options;
};

class QRVAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVApp::resetForTesting();
        QRVOptions::resetForTesting();
        FakeAnalytics::starts = 0;
        FakeAnalytics::notificationsBeforeStart = -1;
        ns::Runtime::registerClass("QRVAnalytics")
            .addClassMethod("startWithConfiguration:options:", [this](ns::Object*, const std::vector<ns::Value>& args) {
                FakeAnalytics::starts++;
                FakeAnalytics::notificationsBeforeStart = notifications_.load();
                FakeAnalytics::configuration = args.at(0);
                FakeAnalytics::options = args.at(1);
                return ns::Value();
            });
        token_ = ns::NotificationCenter::defaultCenter().addObserver(
            kQRVAppReadyToConfigureSDKNotification, nullptr, nullptr, [this](const ns::Notification& note) {
                notifications_++;
                std::lock_guard lock(mutex_);
                received_.push_back(note);
            });
    }
    void TearDown() override {
        ns::NotificationCenter::defaultCenter().removeObserver(token_);
        // Leave a class that answers nothing, so other tests' configure calls start no fake.
        ns::Runtime::registerClass("QRVAnalytics").addClassMethod("startWithConfiguration:options:", [](ns::Object*, const std::vector<ns::Value>&) { return ns::Value(); });
        QRVApp::resetForTesting();
    }

    ns::testing::TempSandbox sandbox_;
    ns::ObserverToken token_ = 0;
    std::atomic<int> notifications_{0};
    std::mutex mutex_;
    std::vector<ns::Notification> received_;
};

TEST_F(QRVAppTest, ConfigureFromTheBundleMakesTheDefaultAppAndAnnouncesIt) {
    sandbox_.writeBundlePlist("OndrixService-Info.plist", ns::Value(sampleOptions()));
    QRVApp::configure();

    auto app = QRVApp::defaultApp();
    ASSERT_TRUE(app);
    EXPECT_EQ(app->name(), "__QRVAPP_DEFAULT");
    EXPECT_TRUE(app->isDefaultApp());
    EXPECT_TRUE(app->options()->usingOptionsFromDefaultPlist());
    EXPECT_EQ(app->options()->databaseURL(), "https://almavel-pa.quorvaneio.com");
    EXPECT_EQ(app->options()->KDXSenderID(), "480326711275");
    EXPECT_FALSE(app->options()->clientID().has_value());

    // Analytics was started once, before the notification, with the shared
    // analytics configuration and the app's options.
    EXPECT_EQ(FakeAnalytics::starts.load(), 1);
    EXPECT_EQ(FakeAnalytics::notificationsBeforeStart.load(), 0);
    EXPECT_EQ(FakeAnalytics::configuration.asObjectOf<QRVAnalyticsConfiguration>(),
              QRVConfiguration::sharedInstance().analyticsConfiguration());
    ASSERT_TRUE(FakeAnalytics::options.asObjectOf<QRVOptions>());
    EXPECT_EQ(FakeAnalytics::options.asObjectOf<QRVOptions>()->ondrixAppID(), ns::testing::kTestAppID);

    // Posted synchronously, with the QRVApp class as sender and typed userInfo.
    std::lock_guard lock(mutex_);
    ASSERT_EQ(received_.size(), 1u);
    const auto& note = received_[0];
    EXPECT_EQ(note.object, ns::Runtime::classObject("QRVApp"));
    ASSERT_TRUE(note.userInfo.at("QRVAppNameKey").isString());
    EXPECT_EQ(note.userInfo.at("QRVAppNameKey").asString(), "__QRVAPP_DEFAULT");
    ASSERT_TRUE(note.userInfo.at("QRVAppIsDefaultAppKey").isBool());
    EXPECT_TRUE(note.userInfo.at("QRVAppIsDefaultAppKey").asBool());
    EXPECT_EQ(note.userInfo.at("QRVOndrixAppIDKey").asString(), ns::testing::kTestAppID);
}

TEST_F(QRVAppTest, NamedAppsAreAnnouncedButStartNoAnalytics) {
    auto options = std::make_shared<QRVOptions>(sampleOptions());
    QRVApp::configure(options);
    QRVApp::configure("sucursal", options);

    auto named = QRVApp::appNamed("sucursal");
    ASSERT_TRUE(named);
    EXPECT_FALSE(named->isDefaultApp());
    EXPECT_FALSE(named->options()->usingOptionsFromDefaultPlist());
    EXPECT_EQ(QRVApp::allApps().size(), 2u);
    EXPECT_EQ(FakeAnalytics::starts.load(), 1);

    std::lock_guard lock(mutex_);
    ASSERT_EQ(received_.size(), 2u);
    EXPECT_EQ(received_[1].userInfo.at("QRVAppNameKey").asString(), "sucursal");
    EXPECT_FALSE(received_[1].userInfo.at("QRVAppIsDefaultAppKey").asBool());
}

TEST_F(QRVAppTest, OptionsAreACopy) {
    auto options = std::make_shared<QRVOptions>(sampleOptions());
    QRVApp::configure(options);
    auto app = QRVApp::defaultApp();
    auto a = app->options();
    auto b = app->options();
    EXPECT_NE(a.get(), b.get());
    EXPECT_NE(a.get(), options.get());
    EXPECT_EQ(a->dictionary(), options->dictionary());
}

TEST_F(QRVAppTest, ConfigureRefusals) {
    // No options file in the bundle.
    EXPECT_THROW(QRVApp::configure(), ns::Exception);
    EXPECT_EQ(QRVApp::allApps().size(), 0u);

    auto options = std::make_shared<QRVOptions>(sampleOptions());
    QRVApp::configure(options);
    try {
        QRVApp::configure(options);
        FAIL() << "second configure of the default app must raise";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.reason(), "Default app has already been configured.");
    }
    QRVApp::configure("x", options);
    EXPECT_THROW(QRVApp::configure("x", options), ns::Exception);
    EXPECT_THROW(QRVApp::configure("", options), ns::Exception);

    auto noAppID = sampleOptions();
    noAppID.erase("ONDRIX_APP_ID");
    EXPECT_THROW(QRVApp::configure("y", std::make_shared<QRVOptions>(noAppID)), ns::Exception);
    auto emptyAppID = sampleOptions();
    emptyAppID["ONDRIX_APP_ID"] = "";
    EXPECT_THROW(QRVApp::configure("z", std::make_shared<QRVOptions>(emptyAppID)), ns::Exception);
    EXPECT_EQ(QRVApp::allApps().size(), 2u);
    std::lock_guard lock(mutex_);
    EXPECT_EQ(received_.size(), 2u);
}

TEST_F(QRVAppTest, UnknownAppNameLogsTheExactLine) {
    auto capture = ns::SystemLog::capture();
    EXPECT_EQ(QRVApp::appNamed("bodega"), nullptr);
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[Quorvane/Core][I-COR000004] App with name bodega does not exist."));
}

TEST_F(QRVAppTest, BrokenOptionsFilesRaiseNamingTheFile) {
    sandbox_.writeBundleFile("OndrixService-Info.plist", std::string("<plist><dict><key>ONDRIX_APP_ID</key>"));
    try {
        QRVApp::configure();
        FAIL() << "a malformed options file must raise";
    } catch (const ns::Exception& e) {
        EXPECT_NE(e.reason().find("OndrixService-Info.plist"), std::string::npos) << e.reason();
    }

    auto wrong = sampleOptions();
    wrong["DATABASE_URL"] = 42;
    sandbox_.writeBundlePlist("OndrixService-Info.plist", ns::Value(wrong));
    try {
        QRVApp::configure();
        FAIL() << "a key of the wrong type must raise";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), kQRVInvalidOptionsException);
        EXPECT_NE(e.reason().find("OndrixService-Info.plist"), std::string::npos) << e.reason();
        EXPECT_NE(e.reason().find("DATABASE_URL"), std::string::npos) << e.reason();
    }

    sandbox_.writeBundlePlist("OndrixService-Info.plist", ns::Value(ns::Array{1, 2}));
    EXPECT_THROW(QRVApp::configure(), ns::Exception);
    EXPECT_EQ(QRVApp::allApps().size(), 0u);
}

TEST_F(QRVAppTest, TokenHook) {
    QRVApp::configure(std::make_shared<QRVOptions>(sampleOptions()));
    auto app = QRVApp::defaultApp();

    // No hook: answered at once, before the call returns.
    bool called = false;
    app->getTokenForcingRefresh(true, [&](std::optional<std::string> token, ns::ErrorRef error) {
        called = true;
        EXPECT_FALSE(token.has_value());
        EXPECT_EQ(error, nullptr);
    });
    EXPECT_TRUE(called);
    EXPECT_FALSE(app->getTokenImplementation());

    // A hook receives the force flag and the callback.
    std::vector<bool> forces;
    app->setGetTokenImplementation([&](bool force, QRVApp::TokenCallback callback) {
        forces.push_back(force);
        callback(std::string("token-") + (force ? "new" : "cached"), nullptr);
    });
    std::vector<std::string> tokens;
    app->getTokenForcingRefresh(false, [&](std::optional<std::string> t, ns::ErrorRef) { tokens.push_back(*t); });
    app->getTokenForcingRefresh(true, [&](std::optional<std::string> t, ns::ErrorRef) { tokens.push_back(*t); });
    EXPECT_EQ(forces, (std::vector<bool>{false, true}));
    EXPECT_EQ(tokens, (std::vector<std::string>{"token-cached", "token-new"}));
}

TEST_F(QRVAppTest, DiagnosticsAndConfigurationErrors) {
    QRVApp::configure(std::make_shared<QRVOptions>(sampleOptions()));
    auto app = QRVApp::defaultApp();

    auto error = QRVApp::errorForSubspecConfigurationFailureWithDomain(kQuorvaneCloudMessagingErrorDomain, 1001,
                                                                        kQRVServiceMessaging, "no sender ID");
    EXPECT_EQ(error->domain(), "com.quorvane.cloudmessaging");
    EXPECT_EQ(error->code(), 1001);
    EXPECT_EQ(error->localizedDescription(), "Configuration failed for service Messaging.");
    EXPECT_EQ(error->localizedFailureReason(), "no sender ID");

    std::vector<ns::Notification> posts;
    auto token = ns::NotificationCenter::defaultCenter().addObserver(
        kQRVAppDiagnosticsNotification, nullptr, nullptr, [&](const ns::Notification& n) { posts.push_back(n); });
    EXPECT_TRUE(ns::Runtime::respondsTo(*app, "sendLogsWithServiceName:version:error:"));
    app->sendLogsWithServiceName("Messaging", "1.2.3", error);
    app->sendLogsWithServiceName("InstanceID", "4.5", nullptr);
    ns::NotificationCenter::defaultCenter().removeObserver(token);

    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].object, nullptr);
    EXPECT_EQ(posts[0].userInfo.at("ConfigType").asInt(), 2);
    EXPECT_EQ(posts[0].userInfo.at("SDKName").asString(), "Messaging");
    EXPECT_EQ(posts[0].userInfo.at("SDKVersion").asString(), "1.2.3");
    EXPECT_EQ(posts[0].userInfo.at("QRVApp").asObjectOf<QRVApp>(), app);
    EXPECT_EQ(posts[0].userInfo.at("Error").asObjectOf<ns::Error>()->code(), 1001);
    EXPECT_EQ(posts[1].userInfo.count("Error"), 0u);
}

TEST_F(QRVAppTest, ClassMethodsAreReachableByName) {
    EXPECT_TRUE(ns::Runtime::sendClass("QRVApp", "defaultApp").isNull());
    QRVApp::configure(std::make_shared<QRVOptions>(sampleOptions()));
    auto viaRuntime = ns::Runtime::sendClass("QRVApp", "defaultApp");
    EXPECT_EQ(viaRuntime.asObjectOf<QRVApp>(), QRVApp::defaultApp());
    EXPECT_EQ(ns::Runtime::send(*QRVApp::defaultApp(), "name").asString(), "__QRVAPP_DEFAULT");
    EXPECT_TRUE(ns::Runtime::sendClass("QRVAppEnvironmentUtil", "isSimulator").isBool());
}

TEST_F(QRVAppTest, AnalyticsConfigurationSettersPostAndPersist) {
    auto config = QRVAnalyticsConfiguration::sharedInstance();
    std::vector<ns::Notification> posts;
    auto token = ns::NotificationCenter::defaultCenter().addObserver(
        "", config, nullptr, [&](const ns::Notification& n) { posts.push_back(n); });
    config->setAnalyticsCollectionEnabled(false);
    config->setMinimumSessionInterval(12.5);
    config->setSessionTimeoutInterval(1800);
    ns::NotificationCenter::defaultCenter().removeObserver(token);

    ASSERT_EQ(posts.size(), 3u);
    EXPECT_EQ(posts[0].name, "QRVAnalyticsConfigurationSetEnabledNotification");
    EXPECT_EQ(posts[0].userInfo.size(), 1u);
    EXPECT_FALSE(posts[0].userInfo.at("QRVAnalyticsConfigurationSetEnabledNotification").asBool());
    EXPECT_EQ(posts[1].userInfo.at("QRVAnalyticsConfigurationSetMinimumSessionIntervalNotification").asDouble(), 12.5);
    EXPECT_EQ(posts[2].name, "QRVAnalyticsConfigurationSetSessionTimeoutIntervalNotification");
    auto stored = ns::UserDefaults::standard()->objectForKey("/ondrix/measurement/measurement_enabled_state");
    ASSERT_TRUE(stored.isInteger());
    EXPECT_EQ(stored.asInt(), 2);
    config->setAnalyticsCollectionEnabled(true);
    EXPECT_EQ(ns::UserDefaults::standard()->objectForKey("/ondrix/measurement/measurement_enabled_state").asInt(), 1);
}

}  // namespace
