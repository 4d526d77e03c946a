// The analytics application-delegate proxy: opened URLs reach analytics
// first, then interceptors, then the delegate, the answers OR-ed; defaults
// for the callbacks a delegate lacks; interceptor bookkeeping; and a
// delegate class whose other methods another proxy exchanges.

#include "analytics/QRVAAppDelegateProxy.h"

#include <gtest/gtest.h>

#include "analytics/QRVAnalytics.h"
#include "core/QRVLogger.h"
#include "monitor_lines.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "platform/user_activity.h"
#include "sandboxed_test.h"

namespace {

using Args = std::vector<ns::Value>;

// A delegate of a runtime class, as the app's is.
struct Delegate : ns::Object {
    explicit Delegate(std::string cls) : cls_(std::move(cls)) {}
    std::string className() const override { return cls_; }
    std::string cls_;
    bool answer = false;
    std::vector<std::string> calls;
};

// The proxy's codes among the lines.
std::vector<int> proxyCodes(const std::vector<std::string>& lines) {
    std::vector<int> codes;
    for (const auto& line : lines) {
        const int code = std::stoi(line);
        if (code >= 3000 && code <= 3018) codes.push_back(code);
    }
    return codes;
}

Delegate& self(ns::Object* object) { return *static_cast<Delegate*>(object); }

ns::Value record(ns::Object* object, const char* what) {
    self(object).calls.push_back(what);
    return self(object).answer;
}

// A delegate class with the given callbacks (the open-URL one with options
// or the older one with the source application).
std::shared_ptr<Delegate> makeDelegate(const std::string& name, bool withOptions, bool withActivity) {
    ns::Class& cls = ns::Runtime::registerClass(name);
    cls.addProtocol("UIApplicationDelegate");
    cls.addInstanceMethod("application:openURL:sourceApplication:annotation:",
                          [](ns::Object* o, const Args&) { return record(o, "source"); });
    if (withOptions) {
        cls.addInstanceMethod("application:openURL:options:", [](ns::Object* o, const Args&) { return record(o, "options"); });
    }
    if (withActivity) {
        cls.addInstanceMethod("application:continueUserActivity:restorationHandler:",
                              [](ns::Object* o, const Args&) { return record(o, "activity"); });
    }
    cls.addInstanceMethod("application:didReceiveRemoteNotification:",
                          [](ns::Object* o, const Args&) { return record(o, "remote"); });
    auto delegate = std::make_shared<Delegate>(name);
    ns::Application::shared()->setDelegate(delegate);
    return delegate;
}

class AppDelegateProxyTest : public analyticstest::LoggingTest {
protected:
    void SetUp() override {
        clock_ = ns::VirtualClock::install();
        QRVSetLoggerLevel(QRVLoggerLevelDebug);
        QRVAnalytics::setOpenURLListener([this](const ns::URL& url) {
            std::lock_guard lock(mutex_);
            opened_.push_back(url.absoluteString());
        });
    }
    void TearDown() override {
        QRVAAppDelegateProxy::resetForTesting();
        ns::Application::shared()->resetForTesting();
    }
    std::vector<std::string> opened() {
        auto done = std::make_shared<std::atomic<bool>>(false);
        QRVAnalytics::dispatchAsyncOnSerialQueue([done] { *done = true; });
        EXPECT_TRUE(ns::RunLoop::main().runUntil([&] { return done->load(); }, 30));
        std::lock_guard lock(mutex_);
        return std::exchange(opened_, {});
    }

    std::unique_ptr<ns::VirtualClock> clock_;
    std::mutex mutex_;
    std::vector<std::string> opened_;
};

// An interceptor: a delegate-protocol object answering the open-URL call.
struct Interceptor : Delegate {
    Interceptor() : Delegate("ShopInterceptor") {
        ns::Class& cls = ns::Runtime::registerClass("ShopInterceptor");
        cls.addProtocol("UIApplicationDelegate");
        cls.addInstanceMethod("application:openURL:options:", [](ns::Object* o, const Args&) { return record(o, "intercepted"); });
    }
};

TEST_F(AppDelegateProxyTest, AnOpenedURLReachesAnalyticsThenInterceptorsThenTheDelegate) {
    struct Case {
        bool delegateAnswer;
        bool interceptorAnswer;
        bool expected;
    } cases[] = {{false, false, false}, {false, true, true}, {true, false, true}};
    auto delegate = makeDelegate("ShopDelegate", true, true);
    QRVAAppDelegateProxy::proxyOriginalDelegate(delegate);
    auto interceptor = std::make_shared<Interceptor>();
    auto id = QRVAAppDelegateProxy::registerAppDelegateInterceptor(interceptor);
    ASSERT_TRUE(id);
    auto other = std::make_shared<Delegate>("ShopDelegate");  // not proxied
    for (const auto& c : cases) {
        delegate->answer = c.delegateAnswer;
        interceptor->answer = c.interceptorAnswer;
        EXPECT_EQ(ns::Application::shared()->openURL("almavel://oferta/7?utm_source=correo"), c.expected);
    }
    EXPECT_EQ(delegate->calls, std::vector<std::string>(3, "options"));
    EXPECT_EQ(interceptor->calls, std::vector<std::string>(3, "intercepted"));
    EXPECT_EQ(opened(), std::vector<std::string>(3, "almavel://oferta/7?utm_source=correo"));
    ns::Runtime::send(*other, "application:openURL:options:", {ns::Value(), ns::Value("almavel://x"), ns::Value()});
    EXPECT_EQ(other->calls, std::vector<std::string>{"options"});
    EXPECT_TRUE(opened().empty());
}

TEST_F(AppDelegateProxyTest, MissingCallbacksGetDefaultsAndTheOlderOpenURLRoad) {
    auto delegate = makeDelegate("KioskDelegate", false, false);
    QRVAAppDelegateProxy::load();  // the class is in the program when it loads
    QRVAAppDelegateProxy::proxyOriginalDelegate(delegate);
    EXPECT_FALSE(ns::Runtime::respondsTo(*delegate, "application:openURL:options:"));
    delegate->answer = true;
    EXPECT_TRUE(ns::Application::shared()->openURL("almavel://tienda/3"));
    EXPECT_EQ(delegate->calls, std::vector<std::string>{"source"});
    EXPECT_EQ(opened(), std::vector<std::string>{"almavel://tienda/3"});
    auto lines = analyticstest::logged([&] {
        auto activity = ns::UserActivity::make(ns::kNSUserActivityTypeBrowsingWeb, ns::URL::parse("https://almavel.pa/p/1"));
        EXPECT_TRUE(ns::Application::shared()->continueUserActivity(activity));
        EXPECT_TRUE(ns::Application::shared()->continueUserActivity(activity));
    });
    EXPECT_EQ(proxyCodes(lines), std::vector<int>{3010});
    EXPECT_EQ(opened(), std::vector<std::string>(2, "https://almavel.pa/p/1"));  // the activity's web page
}

TEST_F(AppDelegateProxyTest, ClassLoadGivesDelegateClassesTheMissingCallbacksProxiedOrNot) {
    const char* kCallbacks[] = {"application:openURL:sourceApplication:annotation:",
                                "application:continueUserActivity:restorationHandler:",
                                "application:handleEventsForBackgroundURLSession:completionHandler:"};
    ns::Class& bare = ns::Runtime::registerClass("BareDelegate").addProtocol("UIApplicationDelegate");
    ns::Class& undeclared = ns::Runtime::registerClass("UndeclaredDelegate");
    auto responding = [&](const ns::Class& cls) {
        return std::count_if(std::begin(kCallbacks), std::end(kCallbacks),
                             [&](const char* sel) { return cls.instanceRespondsTo(sel); });
    };
    sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{kQRVAAppDelegateProxyEnabledPlistKey, false}});
    sandbox_.relaunch();
    EXPECT_EQ(proxyCodes(analyticstest::logged([] { QRVAAppDelegateProxy::load(); })), std::vector<int>{3016});
    EXPECT_EQ(responding(bare), 0);

    // Never proxied, as when collection is deactivated: the system still
    // delivers the callbacks, each default logging once.
    sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{});
    sandbox_.relaunch();
    QRVAAppDelegateProxy::load();
    EXPECT_EQ(responding(bare), 3);
    EXPECT_EQ(responding(undeclared), 0);
    auto app = ns::Application::shared();
    app->setDelegate(std::make_shared<Delegate>("BareDelegate"));
    std::vector<bool> answers;
    auto lines = analyticstest::logged([&] {
        for (int round = 0; round < 2; ++round) {
            answers.push_back(app->openURL("almavel://tienda/9"));
            answers.push_back(app->continueUserActivity(ns::UserActivity::make(ns::kNSUserActivityTypeBrowsingWeb, ns::URL::parse("https://almavel.pa/p/9"))));
            app->sendToDelegate(kCallbacks[2], {ns::Value("bg"), ns::Value()});
        }
    });
    EXPECT_EQ(proxyCodes(lines), (std::vector<int>{3008, 3010, 3009}));
    EXPECT_EQ(answers, std::vector<bool>(4, true));
    EXPECT_TRUE(opened().empty());
}

TEST_F(AppDelegateProxyTest, ASecondSwapInTheSameMillisecondIsRefused) {
    auto delegate = makeDelegate("TwinDelegate", true, true);
    auto lines = analyticstest::logged([&] {
        QRVAAppDelegateProxy::createSubclassWithObject(delegate);
        QRVAAppDelegateProxy::createSubclassWithObject(std::make_shared<Delegate>("TwinDelegate"));
    });
    EXPECT_EQ(proxyCodes(lines), (std::vector<int>{3007, 3004}));
}

TEST_F(AppDelegateProxyTest, InterceptorsRefusedAndDroppedWhenGone) {
    struct Case {
        ns::ObjectPtr interceptor;
        int code;
    } cases[] = {{nullptr, 3011}, {std::make_shared<Delegate>("NotADelegate"), 3012}};
    for (const auto& c : cases) {
        std::optional<std::string> id;
        auto lines = analyticstest::logged([&] { id = QRVAAppDelegateProxy::registerAppDelegateInterceptor(c.interceptor); });
        EXPECT_FALSE(id);
        EXPECT_EQ(proxyCodes(lines), std::vector<int>{c.code});
    }
    auto id = QRVAAppDelegateProxy::registerAppDelegateInterceptor(std::make_shared<Interceptor>());
    ASSERT_TRUE(id);
    EXPECT_EQ(id->rfind("QRVA_0x", 0), 0u);
    auto lines = analyticstest::logged([&] {
        QRVAAppDelegateProxy::notifyInterceptorsWithMethodSelector("application:openURL:options:", [](const ns::ObjectPtr&) {});
        QRVAAppDelegateProxy::unregisterAppDelegateInterceptorWithID(id);
    });
    EXPECT_EQ(proxyCodes(lines), (std::vector<int>{3018, 3015}));
}

// Another proxy that, as messaging's does, replaces a method of the same
// class and restores it when undone.
struct OtherProxy {
    explicit OtherProxy(ns::Class& cls) : cls_(cls) {
        original_ = cls.replaceInstanceMethod("application:didReceiveRemoteNotification:", [this](ns::Object* o, const Args& a) {
            ++seen;
            return original_(o, a);
        });
    }
    void undo() { cls_.replaceInstanceMethod("application:didReceiveRemoteNotification:", original_); }
    ns::Class& cls_;
    ns::Method original_;
    int seen = 0;
};

TEST_F(AppDelegateProxyTest, AnotherProxyOfTheSameClassMayBeInstalledAndUndoneInEitherOrder) {
    for (bool analyticsFirst : {true, false}) {
        for (bool undoAnalyticsFirst : {true, false}) {
            SCOPED_TRACE(std::to_string(analyticsFirst) + std::to_string(undoAnalyticsFirst));
            auto delegate = makeDelegate("DualDelegate", true, false);
            ns::Class& cls = *ns::Runtime::lookUpClass("DualDelegate");
            clock_->advance(0.01);  // a new subclass name for each round
            std::optional<OtherProxy> other;
            if (!analyticsFirst) other.emplace(cls);
            QRVAAppDelegateProxy::proxyOriginalDelegate(delegate);
            if (analyticsFirst) other.emplace(cls);
            auto app = ns::Application::shared();
            app->openURL("almavel://a");
            app->deliverRemoteNotification({{"aps", ns::Dictionary{}}});
            EXPECT_EQ(opened().size(), 1u);
            EXPECT_EQ(other->seen, 1);
            if (undoAnalyticsFirst) QRVAAppDelegateProxy::resetForTesting();
            other->undo();
            if (!undoAnalyticsFirst) QRVAAppDelegateProxy::resetForTesting();
            delegate->calls.clear();
            app->openURL("almavel://b");
            app->deliverRemoteNotification({{"aps", ns::Dictionary{}}});
            EXPECT_EQ(delegate->calls, (std::vector<std::string>{"options", "remote"}));
            EXPECT_TRUE(opened().empty());
            EXPECT_FALSE(cls.instanceRespondsTo("application:continueUserActivity:restorationHandler:"));
        }
    }
}

}  // namespace
