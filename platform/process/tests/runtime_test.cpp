#include "platform/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/error.h"

using ns::Object;
using ns::Runtime;
using ns::Value;
using Args = std::vector<Value>;

namespace {

class Widget : public Object {
public:
    explicit Widget(std::string cls = "RTWidget") : cls_(std::move(cls)) {}
    std::string className() const override { return cls_; }
    int calls = 0;

private:
    std::string cls_;
};

std::string raisedReason(const std::function<void()>& f) {
    try {
        f();
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), ns::kInvalidArgumentException);
        return e.reason();
    }
    ADD_FAILURE() << "nothing was raised";
    return {};
}

// ---- load hooks registered in this unit (the separate unit adds "separate" at 15)

std::mutex gHookLogMutex;
std::vector<std::string>& hookLog() {
    static std::vector<std::string> log;
    return log;
}
void logHook(const std::string& s) {
    std::lock_guard lock(gHookLogMutex);
    hookLog().push_back(s);
}
std::vector<std::string> hookLogCopy() {
    std::lock_guard lock(gHookLogMutex);
    return hookLog();
}

NS_REGISTER_LOAD_HOOK(-100, "RTHookLog", [] {
    Runtime::registerClass("RTHookLog").addClassMethod("append:", [](Object*, const Args& a) {
        logHook(a.at(0).asString());
        return Value();
    });
});
// Registered out of order on purpose: names break ties, orders come first.
NS_REGISTER_LOAD_HOOK(20, "RTb", [] { logHook("b20"); });
NS_REGISTER_LOAD_HOOK(10, "RTz", [] { logHook("z10"); });
NS_REGISTER_LOAD_HOOK(20, "RTa", [] { logHook("a20"); });
NS_REGISTER_LOAD_HOOK(-5, "RTm", [] { logHook("m-5"); });

}  // namespace

TEST(Runtime, ClassesAreFoundByNameAndRegisteredOnce) {
    EXPECT_EQ(Runtime::lookUpClass("RTNeverRegistered"), nullptr);
    ns::Class& base = Runtime::registerClass("RTLookBase");
    ns::Class& sub = Runtime::registerClass("RTLookSub", "RTLookBase");
    EXPECT_EQ(Runtime::lookUpClass("RTLookBase"), &base);
    EXPECT_EQ(&Runtime::registerClass("RTLookSub"), &sub);
    EXPECT_EQ(&Runtime::registerClass("RTLookSub", "RTLookBase"), &sub);
    EXPECT_EQ(sub.superclass(), &base);
    EXPECT_EQ(base.superclass(), nullptr);

    // A superclass registered after its subclass is found by name later.
    ns::Class& early = Runtime::registerClass("RTEarlySub", "RTLateBase");
    EXPECT_EQ(early.superclass(), nullptr);
    Runtime::registerClass("RTLateBase").addClassMethod("late", [](Object*, const Args&) { return Value(1); });
    EXPECT_NE(early.superclass(), nullptr);
    EXPECT_EQ(Runtime::sendClass("RTEarlySub", "late").asInt(), 1);
}

TEST(Runtime, BadRegistrationsRaise) {
    EXPECT_THROW(Runtime::registerClass(""), ns::Exception);
    Runtime::registerClass("RTFixedSuper", "RTSomeBase");
    EXPECT_EQ(raisedReason([] { Runtime::registerClass("RTFixedSuper", "RTOtherBase"); }),
              "Class RTFixedSuper is already registered with superclass \"RTSomeBase\", not \"RTOtherBase\"");
    EXPECT_THROW(Runtime::registerClass("RTSelfSuper", "RTSelfSuper"), ns::Exception);
    Runtime::registerClass("RTCycleA", "RTCycleB");
    EXPECT_THROW(Runtime::registerClass("RTCycleB", "RTCycleA"), ns::Exception);
    EXPECT_EQ(Runtime::lookUpClass("RTCycleB"), nullptr);
    EXPECT_THROW(Runtime::registerClass("RTEmptyMethod").addClassMethod("x", nullptr), ns::Exception);
}

TEST(Runtime, ClassAndInstanceSelectorsThroughTheChain) {
    auto& base = Runtime::registerClass("RTSelBase");
    auto& sub = Runtime::registerClass("RTSelSub", "RTSelBase");
    base.addClassMethod("defaultApp", [](Object* self, const Args&) { return Value(self == nullptr); });
    base.addInstanceMethod("name", [](Object*, const Args&) { return Value("base"); });
    base.addInstanceMethod("sum:and:", [](Object* self, const Args& a) {
        static_cast<Widget*>(self)->calls++;
        return Value(a.at(0).asInt() + a.at(1).asInt());
    });
    EXPECT_TRUE(sub.addInstanceMethod("name", [](Object*, const Args&) { return Value("sub"); }));
    EXPECT_FALSE(sub.addInstanceMethod("name", [](Object*, const Args&) { return Value("again"); }));

    Widget b("RTSelBase"), s("RTSelSub");
    EXPECT_EQ(Runtime::send(b, "name").asString(), "base");
    EXPECT_EQ(Runtime::send(s, "name").asString(), "sub");
    EXPECT_EQ(Runtime::send(s, "sum:and:", {2, 40}).asInt(), 42);
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(b.calls, 0);
    EXPECT_TRUE(Runtime::sendClass("RTSelSub", "defaultApp").asBool());

    EXPECT_TRUE(Runtime::respondsTo(s, "sum:and:"));
    EXPECT_FALSE(Runtime::respondsTo(s, "defaultApp"));  // a class method, not an instance one
    EXPECT_TRUE(sub.classRespondsTo("defaultApp"));
    EXPECT_FALSE(sub.classRespondsTo("name"));
    EXPECT_TRUE(sub.instanceRespondsTo("name"));
    EXPECT_FALSE(base.instanceRespondsTo("missing"));
    Widget unregistered("RTNoSuchClass");
    EXPECT_FALSE(Runtime::respondsTo(unregistered, "name"));
}

TEST(Runtime, ClassObjectsAnswerClassMethods) {
    EXPECT_EQ(Runtime::classObject("RTNeverRegistered"), nullptr);
    auto& cls = Runtime::registerClass("RTClassObject");
    cls.addClassMethod("defaultApp", [](Object* self, const Args&) { return Value(self == nullptr); });
    cls.addInstanceMethod("name", [](Object*, const Args&) { return Value("instance"); });
    auto obj = Runtime::classObject("RTClassObject");
    ASSERT_EQ(obj.get(), &cls);
    EXPECT_EQ(Runtime::classObject("RTClassObject"), obj);  // one identity, usable as a sender
    EXPECT_TRUE(Runtime::send(*obj, "defaultApp").asBool());
    EXPECT_TRUE(Runtime::respondsTo(*obj, "defaultApp"));
    EXPECT_FALSE(Runtime::respondsTo(*obj, "name"));
    EXPECT_EQ(raisedReason([&] { Runtime::send(*obj, "name"); }),
              "+[RTClassObject name]: unrecognized selector sent to class");
}

TEST(Runtime, UnrecognizedSelectorsRaiseWithTheirTexts) {
    Runtime::registerClass("RTMute");
    EXPECT_EQ(raisedReason([] { Runtime::sendClass("RTMute", "startWithConfiguration:options:"); }),
              "+[RTMute startWithConfiguration:options:]: unrecognized selector sent to class");
    Widget w("RTMute");
    EXPECT_EQ(raisedReason([&] { Runtime::send(w, "description"); }),
              "-[RTMute description]: unrecognized selector sent to instance");
    Widget stranger("RTNoSuchClass");
    EXPECT_EQ(raisedReason([&] { Runtime::send(stranger, "x"); }),
              "-[RTNoSuchClass x]: unrecognized selector sent to instance");
    EXPECT_EQ(raisedReason([] { Runtime::sendClass("RTNoSuchClass", "defaultApp"); }),
              "Class RTNoSuchClass is not registered");
}

TEST(Runtime, ReplacementCallsTheOriginal) {
    auto& cls = Runtime::registerClass("RTDelegate");
    cls.addInstanceMethod("application:didRegister:", [](Object*, const Args& a) {
        return Value("original(" + a.at(0).asString() + ")");
    });
    // The proxy keeps the original in shared storage, as a swizzler does.
    auto original = std::make_shared<ns::Method>();
    *original = cls.replaceInstanceMethod("application:didRegister:", [original](Object* self, const Args& a) {
        return Value("proxy+" + (*original)(self, a).asString());
    });
    ASSERT_TRUE(*original);
    Widget w("RTDelegate");
    EXPECT_EQ(Runtime::send(w, "application:didRegister:", {"tok"}).asString(), "proxy+original(tok)");

    // A method the class never had: nothing to forward to, but it now answers.
    ns::Method none = cls.replaceInstanceMethod("fresh", [](Object*, const Args&) { return Value(7); });
    EXPECT_FALSE(none);
    EXPECT_EQ(Runtime::send(w, "fresh").asInt(), 7);
}

TEST(Runtime, ReplacingAnInheritedMethodLeavesTheSuperclassAlone) {
    auto& base = Runtime::registerClass("RTReplBase");
    auto& sub = Runtime::registerClass("RTReplSub", "RTReplBase");
    base.addInstanceMethod("ping", [](Object*, const Args&) { return Value("base"); });
    auto inherited = std::make_shared<ns::Method>();
    *inherited = sub.replaceInstanceMethod("ping", [inherited](Object* self, const Args& a) {
        return Value("sub>" + (*inherited)(self, a).asString());
    });
    ASSERT_TRUE(*inherited);
    Widget b("RTReplBase"), s("RTReplSub");
    EXPECT_EQ(Runtime::send(s, "ping").asString(), "sub>base");
    EXPECT_EQ(Runtime::send(b, "ping").asString(), "base");
}

TEST(Runtime, ExchangeSwapsImplementations) {
    auto& base = Runtime::registerClass("RTExBase");
    auto& cls = Runtime::registerClass("RTEx", "RTExBase");
    base.addInstanceMethod("a", [](Object*, const Args&) { return Value("A"); });
    cls.addInstanceMethod("b", [](Object*, const Args&) { return Value("B"); });
    ASSERT_TRUE(cls.exchangeInstanceMethods("a", "b"));
    Widget w("RTEx"), bw("RTExBase");
    EXPECT_EQ(Runtime::send(w, "a").asString(), "B");
    EXPECT_EQ(Runtime::send(w, "b").asString(), "A");
    EXPECT_EQ(Runtime::send(bw, "a").asString(), "A");  // the superclass keeps its own

    ASSERT_TRUE(cls.exchangeInstanceMethods("a", "b"));
    EXPECT_EQ(Runtime::send(w, "a").asString(), "A");

    EXPECT_FALSE(cls.exchangeInstanceMethods("a", "missing"));
    EXPECT_EQ(Runtime::send(w, "a").asString(), "A");
    EXPECT_FALSE(cls.instanceRespondsTo("missing"));
}

TEST(Runtime, MethodsMayUseTheRuntimeWhileRunning) {
    // The table lock is not held while a method runs: a method that registers
    // classes or swizzles would otherwise deadlock.
    auto& cls = Runtime::registerClass("RTReentrant");
    cls.addClassMethod("setUp", [](Object*, const Args&) {
        auto& created = Runtime::registerClass("RTCreatedInside");
        created.addClassMethod("v", [](Object*, const Args&) { return Value(5); });
        Runtime::lookUpClass("RTReentrant")->addClassMethod("v", [](Object*, const Args&) {
            return Runtime::sendClass("RTCreatedInside", "v");
        });
        return Runtime::sendClass("RTCreatedInside", "v");
    });
    EXPECT_EQ(Runtime::sendClass("RTReentrant", "setUp").asInt(), 5);
    EXPECT_EQ(Runtime::sendClass("RTReentrant", "v").asInt(), 5);
}

TEST(Runtime, ConcurrentSendsAndReplacements) {
    auto& cls = Runtime::registerClass("RTBusy");
    cls.addInstanceMethod("n", [](Object*, const Args&) { return Value(0); });
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 6; ++t) {
        senders.emplace_back([&] {
            Widget w("RTBusy");
            while (!stop.load()) {
                int64_t v = Runtime::send(w, "n").asInt();
                if (v < 0 || v > 200) bad++;
                // On two cores six spinning readers would keep the writer
                // out of the method table for half a minute.
                std::this_thread::yield();
            }
        });
    }
    for (int i = 1; i <= 200; ++i) {
        cls.replaceInstanceMethod("n", [i](Object*, const Args&) { return Value(i); });
        Runtime::registerClass("RTBusy" + std::to_string(i), "RTBusy");
    }
    stop = true;
    for (auto& t : senders) t.join();
    EXPECT_EQ(bad.load(), 0);
    Widget w("RTBusy200");
    EXPECT_EQ(Runtime::send(w, "n").asInt(), 200);
}

TEST(Runtime, LoadHooksRunOnceInOrderIncludingOtherUnits) {
    Runtime::runLoadHooks();  // the test main may have run them already
    ASSERT_TRUE(Runtime::loadHooksRan());
    const std::vector<std::string> expected{"m-5", "z10", "separate", "a20", "b20"};
    EXPECT_EQ(hookLogCopy(), expected);

    Runtime::runLoadHooks();
    std::thread other([] { Runtime::runLoadHooks(); });
    other.join();
    EXPECT_EQ(hookLogCopy(), expected);

    // Nothing in this unit names the separate unit; its hook ran only because
    // its library was linked whole.
    EXPECT_EQ(Runtime::sendClass("RTSeparateUnitClass", "greeting").asString(),
              "registered from a separate translation unit");
}

TEST(Runtime, HookAddedAfterStartUpRunsAtOnce) {
    Runtime::runLoadHooks();
    int ran = 0;
    Runtime::addLoadHook(0, "RTLate", [&] { ran++; });
    EXPECT_EQ(ran, 1);
    Runtime::runLoadHooks();
    EXPECT_EQ(ran, 1);
}

TEST(Runtime, ProtocolsAreAdoptedThroughTheChainAndDescribeTheirMethods) {
    const auto& proto = Runtime::registerProtocol("RTListening", {{"hear:", true}, {"echo:"}});
    EXPECT_EQ(&Runtime::registerProtocol("RTListening", {}), &proto);
    EXPECT_EQ(Runtime::lookUpProtocol("RTListening"), &proto);
    EXPECT_EQ(Runtime::lookUpProtocol("RTNoSuchProtocol"), nullptr);
    EXPECT_TRUE(proto.hasMethod("hear:", true));
    EXPECT_TRUE(proto.hasMethod("echo:", false));
    EXPECT_FALSE(proto.hasMethod("echo:", true));

    Runtime::registerClass("RTListenerBase").addProtocol("RTListening").addProtocol("RTListening");
    Runtime::registerClass("RTListener", "RTListenerBase");
    Runtime::registerClass("RTDeaf");
    EXPECT_TRUE(Runtime::conformsTo(Widget("RTListener"), "RTListening"));
    EXPECT_TRUE(Runtime::conformsTo(*Runtime::classObject("RTListenerBase"), "RTListening"));
    EXPECT_FALSE(Runtime::conformsTo(Widget("RTDeaf"), "RTListening"));
    EXPECT_FALSE(Runtime::conformsTo(Widget("RTUnregistered"), "RTListening"));

    // Only the classes that declare it themselves, in name order.
    Runtime::registerClass("RTAlsoListening").addProtocol("RTListening");
    const std::vector<ns::Class*> declaring{Runtime::lookUpClass("RTAlsoListening"), Runtime::lookUpClass("RTListenerBase")};
    EXPECT_EQ(Runtime::classesDeclaringProtocol("RTListening"), declaring);
    EXPECT_TRUE(Runtime::classesDeclaringProtocol("RTNoSuchProtocol").empty());
}

TEST(Runtime, RemovingAMethodFallsBackToTheInheritedOneOrToNone) {
    auto& base = Runtime::registerClass("RTRemoveBase");
    base.addInstanceMethod("who", [](Object*, const Args&) { return Value("base"); });
    auto& sub = Runtime::registerClass("RTRemoveSub", "RTRemoveBase");
    sub.addInstanceMethod("who", [](Object*, const Args&) { return Value("sub"); });
    sub.addInstanceMethod("added", [](Object*, const Args&) { return Value(); });
    Widget w("RTRemoveSub");

    EXPECT_TRUE(sub.removeInstanceMethod("who"));
    EXPECT_EQ(Runtime::send(w, "who").asString(), "base");
    EXPECT_FALSE(sub.removeInstanceMethod("who"));  // the inherited one is not this class's
    EXPECT_TRUE(sub.removeInstanceMethod("added"));
    EXPECT_FALSE(Runtime::respondsTo(w, "added"));
}
