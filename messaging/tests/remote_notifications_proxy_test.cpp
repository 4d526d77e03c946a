#include <gtest/gtest.h>

#include "messaging/QRVMessaging.h"
#include "messaging/QRVMessagingRemoteNotificationsProxy.h"
#include "messaging_log_lines.h"
#include "platform/application.h"
#include "platform/block_object.h"
#include "platform/clock.h"
#include "platform/runtime.h"
#include "testing/temp_sandbox.h"
#include "uikit/UserNotifications.h"

namespace {

using Args = std::vector<ns::Value>;

constexpr const char* kWithHandler = "application:didReceiveRemoteNotification:fetchCompletionHandler:";
constexpr const char* kPlain = "application:didReceiveRemoteNotification:";
constexpr const char* kToken = "application:didRegisterForRemoteNotificationsWithDeviceToken:";
constexpr const char* kFail = "application:didFailToRegisterForRemoteNotificationsWithError:";
constexpr const char* kWillPresent = "userNotificationCenter:willPresentNotification:withCompletionHandler:";

// One journal for what reaches messaging and what reaches the delegates, so
// the order between them shows.
std::vector<std::string>& journal() {
    static std::vector<std::string> entries;
    return entries;
}

std::string idOf(const ns::Value& userInfo) {
    if (!userInfo.isDictionary()) return "?";
    auto it = userInfo.asDictionary().find("id");
    return it != userInfo.asDictionary().end() && it->second.isString() ? it->second.asString() : "?";
}

// A delegate object of a runtime class made by the test.
class Delegate : public ns::Object {
public:
    explicit Delegate(std::string cls) : cls_(std::move(cls)) {}
    std::string className() const override { return cls_; }

private:
    std::string cls_;
};

// Registers a class adopting `protocol` whose methods journal
// "<class> <selector> <id>" and, for the handler forms, answer the handler.
void registerDelegateClass(const std::string& name, const std::string& protocol,
                           const std::vector<std::string>& selectors) {
    auto& cls = ns::Runtime::registerClass(name, "NSObject");
    if (!protocol.empty()) cls.addProtocol(protocol);
    for (const auto& selector : selectors) {
        cls.addInstanceMethod(selector, [name, selector](ns::Object*, const Args& args) {
            const ns::Value payload = args.size() > 1 ? args[1] : ns::Value();
            journal().push_back(name + " " + selector + " " + idOf(payload));
            if (args.size() > 2) ns::BlockObject::call(args[2], {ns::Value(int64_t(4))});
            return ns::Value();
        });
    }
}

// Messaging's own handling is wrapped so the test sees what reaches it; the
// real handling still runs.
// Wrapped once per process: every test's wrapper would stack on the last.
void journalWhatReachesMessaging() {
    QRVMessaging::messaging();
    static bool wrapped = false;
    if (wrapped) return;
    wrapped = true;
    ns::Class* messaging = ns::Runtime::lookUpClass("QRVMessaging");
    ASSERT_NE(messaging, nullptr);
    auto original = std::make_shared<ns::Method>();
    *original = messaging->replaceInstanceMethod("appDidReceiveMessage:", [original](ns::Object* self, const Args& args) {
        journal().push_back("messaging " + idOf(args.at(0)));
        return (*original)(self, args);
    });
}

ns::Dictionary payload(const std::string& id) { return ns::Dictionary{{"id", id}}; }

class RemoteNotificationsProxy : public ::testing::Test {
protected:
    void SetUp() override {
        journal().clear();
        ns::Application::shared()->resetForTesting();
        center_->resetForTesting();
        journalWhatReachesMessaging();
    }
    void TearDown() override {
        proxy_->unswizzleAllMethods();
        QRVMessaging::resetForTesting();
        center_->resetForTesting();
        ns::Application::shared()->resetForTesting();
    }

    void deliver(const std::string& id) {
        ns::Application::shared()->deliverRemoteNotification(payload(id), [this](int64_t result) { fetch_ = result; });
    }
    std::shared_ptr<ns::UNNotification> notification(const std::string& id) {
        auto content = ns::UNNotificationContent::fromPayload(payload(id));
        return std::make_shared<ns::UNNotification>(ns::UNNotificationRequest::requestWithIdentifier(id, content),
                                                    ns::Date{0});
    }
    // Sends will-present as the system does and returns the options the
    // completion handler got (-1: never called).
    int64_t willPresent(const ns::ObjectPtr& delegate, const std::string& id) {
        int64_t options = -1;
        auto handler = ns::BlockObject::makeVoid([&](const Args& args) { options = args.at(0).asInt(); });
        ns::Runtime::send(*delegate, kWillPresent,
                          {ns::Value(std::static_pointer_cast<ns::Object>(center_)),
                           ns::Value(std::static_pointer_cast<ns::Object>(notification(id))),
                           ns::Value(std::static_pointer_cast<ns::Object>(handler))});
        return options;
    }

    // A proxy of the test's own: the shared one swizzles once per process.
    std::shared_ptr<QRVMessagingRemoteNotificationsProxy> proxy_ = QRVMessagingRemoteNotificationsProxy::make();
    std::shared_ptr<ns::UNUserNotificationCenter> center_ = ns::UNUserNotificationCenter::currentNotificationCenter();
    int64_t fetch_ = -1;
};

}  // namespace

TEST(RemoteNotificationsProxySwitch, OnlyANumberThatIsFalseTurnsTheProxyOff) {
    struct Row {
        ns::Value value;  // null: key absent
        bool enabled;
    };
    const std::vector<Row> rows{{ns::Value(), true},       {ns::Value(false), false}, {ns::Value(true), true},
                                {ns::Value(int64_t(0)), false}, {ns::Value("NO"), true}};
    for (const auto& row : rows) {
        ns::testing::TempSandbox sandbox;
        ns::Dictionary info{{"CFBundleIdentifier", "com.almavel.app"}};
        if (!row.value.isNull()) info[kQRVMessagingRemoteNotificationsProxyEnabledInfoPlistKey] = row.value;
        sandbox.writeBundlePlist("Info.plist", info);
        EXPECT_EQ(QRVMessagingRemoteNotificationsProxy::canSwizzleMethods(), row.enabled) << row.value.description();
    }
}

TEST_F(RemoteNotificationsProxy, EachDelegateKeepsItsOwnFormsAndMessagingSeesEveryNotificationFirst) {
    struct Row {
        std::string cls;
        std::vector<std::string> own;
        std::vector<std::string> replaced;  // in the order applied
        std::vector<std::string> journal;   // after one notification "n"
    };
    const std::vector<Row> rows{
        {"ProxyPlainOnly", {kPlain}, {kPlain, kToken, kFail}, {"messaging n", "ProxyPlainOnly " + std::string(kPlain) + " n"}},
        {"ProxyHandlerOnly", {kWithHandler}, {kWithHandler, kToken, kFail},
         {"messaging n", "ProxyHandlerOnly " + std::string(kWithHandler) + " n"}},
        {"ProxyBoth", {kPlain, kWithHandler}, {kWithHandler, kPlain, kToken, kFail},
         {"messaging n", "ProxyBoth " + std::string(kWithHandler) + " n"}},
        // Neither form: the plain one is added and only messaging hears of it.
        {"ProxyNeither", {}, {kPlain, kToken, kFail}, {"messaging n"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cls);
        journal().clear();
        registerDelegateClass(row.cls, "UIApplicationDelegate", row.own);
        auto delegate = std::make_shared<Delegate>(row.cls);
        auto proxy = QRVMessagingRemoteNotificationsProxy::make();
        proxy->swizzleAppDelegateMethods(delegate);
        EXPECT_TRUE(proxy->didSwizzleAppDelegateMethods());
        EXPECT_EQ(proxy->swizzledSelectorsByClass().at(row.cls), row.replaced);

        ns::Application::shared()->setDelegate(delegate);
        deliver("n");
        EXPECT_EQ(journal(), row.journal);
        // The handler the application answered reaches the system unchanged.
        EXPECT_EQ(fetch_, row.cls == "ProxyPlainOnly" || row.cls == "ProxyNeither" ? 1 : 4);
    }
}

TEST_F(RemoteNotificationsProxy, TheTokenReachesMessagingAndAFailedRegistrationIsLogged) {
    MessagingLogLines log;
    registerDelegateClass("ProxyTokenDelegate", "UIApplicationDelegate", {kFail});
    auto delegate = std::make_shared<Delegate>("ProxyTokenDelegate");
    ns::Application::shared()->setDelegate(delegate);
    registerDelegateClass("ProxyNotADelegate", "", {kToken});
    auto stranger = std::make_shared<Delegate>("ProxyNotADelegate");
    proxy_->swizzleAppDelegateMethods(stranger);
    EXPECT_FALSE(proxy_->didSwizzleAppDelegateMethods());
    EXPECT_TRUE(proxy_->swizzledSelectorsByClass().empty());

    proxy_->swizzleMethodsIfPossible();
    EXPECT_TRUE(proxy_->didSwizzleMethods());
    const ns::Data token{1, 2, 3, 4};
    // The delegate lacks the token callback: it was added.
    ns::Application::shared()->sendToDelegate(kToken, {ns::Value(token)});
    EXPECT_EQ(QRVMessaging::messaging()->APNSToken(), token);

    ns::Application::shared()->sendToDelegate(
        kFail, {ns::Value(std::const_pointer_cast<ns::Error>(ns::Error::make("test", 3, "gateway away")))});
    EXPECT_TRUE(log.contains("I-QDX012002"));
    EXPECT_TRUE(log.contains("Error in application:didFailToRegisterForRemoteNotificationsWithError: gateway away"));
    EXPECT_EQ(journal().back(), "ProxyTokenDelegate " + std::string(kFail) + " ?");

    // The older data-message callback hands the message's data over too.
    registerDelegateClass("ProxyRemoteMessage", "UIApplicationDelegate", {"applicationReceivedRemoteMessage:"});
    auto older = std::make_shared<Delegate>("ProxyRemoteMessage");
    proxy_->swizzleAppDelegateMethods(older);
    auto message = std::make_shared<QRVMessagingRemoteMessage>();
    message->setAppData(payload("m"));
    journal().clear();
    ns::Runtime::send(*older, "applicationReceivedRemoteMessage:", {ns::Value(std::static_pointer_cast<ns::Object>(message))});
    EXPECT_EQ(journal(), (std::vector<std::string>{"messaging m", "ProxyRemoteMessage applicationReceivedRemoteMessage: ?"}));
}

TEST_F(RemoteNotificationsProxy, TheCentresDelegateIsFollowedAndAnAddedWillPresentStillAnswersTheSystem) {
    MessagingLogLines log;
    registerDelegateClass("ProxyCentreOwn", "UNUserNotificationCenterDelegate", {kWillPresent});
    registerDelegateClass("ProxyCentreBare", "UNUserNotificationCenterDelegate", {});
    auto own = std::make_shared<Delegate>("ProxyCentreOwn");
    auto bare = std::make_shared<Delegate>("ProxyCentreBare");
    center_->setDelegate(own);
    proxy_->swizzleMethodsIfPossible();
    EXPECT_TRUE(proxy_->isObservingUserNotificationDelegateChanges());
    EXPECT_EQ(proxy_->currentUserNotificationCenterDelegate(), own);

    EXPECT_EQ(willPresent(own, "a"), 4);
    EXPECT_EQ(journal(), (std::vector<std::string>{"messaging a", "ProxyCentreOwn " + std::string(kWillPresent) + " ?"}));

    // A delegate set later is followed; the earlier one gets its own method back.
    journal().clear();
    center_->setDelegate(bare);
    EXPECT_EQ(proxy_->currentUserNotificationCenterDelegate(), bare);
    EXPECT_EQ(willPresent(own, "b"), 4);
    // Its class had no will-present: messaging hears of it and the system
    // still gets an answer (no options) instead of waiting for ever.
    EXPECT_EQ(willPresent(bare, "c"), 0);
    EXPECT_EQ(journal(), (std::vector<std::string>{"ProxyCentreOwn " + std::string(kWillPresent) + " ?", "messaging c"}));

    // Back and forth, then everything undone: the added method is gone and the
    // class that was swizzled twice keeps its own method.
    center_->setDelegate(own);
    center_->setDelegate(bare);
    center_->setDelegate(own);
    proxy_->unswizzleAllMethods();
    EXPECT_TRUE(proxy_->swizzledSelectorsByClass().empty());
    EXPECT_FALSE(ns::Runtime::respondsTo(*bare, kWillPresent));
    journal().clear();
    EXPECT_EQ(willPresent(own, "d"), 4);
    EXPECT_EQ(journal(), (std::vector<std::string>{"ProxyCentreOwn " + std::string(kWillPresent) + " ?"}));

    // An observation the centre already forgot is logged, not raised.
    center_->resetForTesting();
    proxy_->removeUserNotificationCenterDelegateObserver();
    EXPECT_FALSE(proxy_->isObservingUserNotificationDelegateChanges());
    EXPECT_TRUE(log.contains("I-QDX012001"));
}

TEST_F(RemoteNotificationsProxy, UndoingEverythingRestoresEverySelectorOfEveryClass) {
    registerDelegateClass("ProxyUndoApp", "UIApplicationDelegate", {kPlain, kToken});
    auto app = std::make_shared<Delegate>("ProxyUndoApp");
    {
        auto proxy = QRVMessagingRemoteNotificationsProxy::make();
        proxy->swizzleAppDelegateMethods(app);
        ns::Application::shared()->setDelegate(app);
        deliver("x");
        EXPECT_EQ(journal().front(), "messaging x");
    }
    // The proxy is gone: nothing reaches messaging, the added method is
    // removed and the application's own ones answer again.
    journal().clear();
    deliver("y");
    ns::Application::shared()->sendToDelegate(kToken, {ns::Value(ns::Data{9})});
    EXPECT_EQ(journal(), (std::vector<std::string>{"ProxyUndoApp " + std::string(kPlain) + " y",
                                                   "ProxyUndoApp " + std::string(kToken) + " ?"}));
    EXPECT_FALSE(ns::Runtime::respondsTo(*app, kFail));
    EXPECT_TRUE(QRVMessaging::messaging()->APNSToken().empty());
}
