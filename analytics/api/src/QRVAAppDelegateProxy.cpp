#include "analytics/QRVAAppDelegateProxy.h"

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAnalytics.h"
#include "core/QRVLogger.h"
#include "core/QRVNetwork.h"
#include "platform/block_object.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/url.h"

namespace {

using Args = std::vector<ns::Value>;
using Impl = ns::Value (*)(ns::Object* self, const Args& args);

constexpr const char* kProxyClass = "QRVAAppDelegateProxy";
constexpr const char* kDelegateProtocol = "UIApplicationDelegate";
constexpr const char* kOpenURLOptions = "application:openURL:options:";
constexpr const char* kOpenURLSource = "application:openURL:sourceApplication:annotation:";
constexpr const char* kContinueActivity = "application:continueUserActivity:restorationHandler:";
constexpr const char* kBackgroundSession = "application:handleEventsForBackgroundURLSession:completionHandler:";
constexpr const char* kDisabledMessage =
    "Quorvane Analytics App Delegate Proxy is disabled. To log deep link campaigns manually, call the methods in "
    "QRVAnalytics+AppDelegate.";

// The proxied selectors, in the order of the dispatchers below.
constexpr std::array<const char*, 4> kProxied{kOpenURLOptions, kOpenURLSource, kContinueActivity, kBackgroundSession};

std::string logCode(long code) { return ns::format("I-ACS%06ld", code); }

// One swapped delegate: its real class, the generated subclass and the real
// class's implementations of the proxied selectors at the swap.
struct Swap {
    std::weak_ptr<ns::Object> object;
    std::string realClass;
    std::string subclass;
    std::map<std::string, ns::Method, std::less<>> realImplementations;
};

struct Registry {
    std::mutex mutex;
    std::map<const ns::Object*, Swap> swaps;
    // Class -> selector -> what it answered before its dispatcher went in.
    std::map<std::string, std::map<std::string, ns::Method, std::less<>>> classOriginals;
    std::vector<std::pair<std::string, std::string>> addedDefaults;
    std::map<std::string, QRVAZeroingWeakContainer> interceptors;
    std::array<std::atomic<bool>, 3> defaultLogged{};
};

Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

std::optional<Swap> swapFor(const ns::Object* object) {
    std::lock_guard lock(registry().mutex);
    auto it = registry().swaps.find(object);
    if (it == registry().swaps.end() || it->second.object.expired()) return std::nullopt;
    return it->second;
}

bool truthy(const ns::Value& value) { return value.isBool() ? value.asBool() : value.intValue() != 0; }

// What an instance that is not proxied answers: its class's implementation
// from before the dispatcher, found through the superclass chain.
ns::Method originalFor(const ns::Object& self, std::string_view selector) {
    std::lock_guard lock(registry().mutex);
    for (ns::Class* cls = ns::Runtime::lookUpClass(self.className()); cls; cls = cls->superclass()) {
        auto it = registry().classOriginals.find(cls->name());
        if (it == registry().classOriginals.end()) continue;
        auto found = it->second.find(selector);
        if (found != it->second.end()) return found->second;
    }
    return {};
}

template <size_t I>
ns::Value dispatch(ns::Object* self, const Args& args) {
    if (auto swap = swapFor(self)) {
        if (ns::Class* subclass = ns::Runtime::lookUpClass(swap->subclass)) {
            if (ns::Method method = subclass->instanceMethod(kProxied[I])) return method(self, args);
        }
    }
    ns::Method original = originalFor(*self, kProxied[I]);
    return original ? original(self, args) : ns::Value();
}

constexpr std::array<Impl, 4> kDispatchers{dispatch<0>, dispatch<1>, dispatch<2>, dispatch<3>};

bool isDispatcher(const ns::Method& method) {
    const Impl* target = method.target<Impl>();
    return target && std::find(kDispatchers.begin(), kDispatchers.end(), *target) != kDispatchers.end();
}

// MARK: Forwarding on the swapped delegate

// Interceptors, then the real class's implementation, answers OR-ed.
bool forwardAndCombine(ns::Object* self, std::string_view selector, const Args& args) {
    bool result = false;
    QRVAAppDelegateProxy::notifyInterceptorsWithMethodSelector(
        selector, [&](const ns::ObjectPtr& interceptor) { result |= truthy(ns::Runtime::send(*interceptor, selector, args)); });
    auto swap = swapFor(self);
    if (swap) {
        auto it = swap->realImplementations.find(selector);
        if (it != swap->realImplementations.end() && it->second) result |= truthy(it->second(self, args));
    }
    return result;
}

void handOpenedURL(const Args& args) {
    if (args.size() < 2 || !args[1].isString()) return;
    if (auto url = ns::URL::parse(args[1].asString())) QRVAnalytics::handleOpenURL(*url);
}

ns::Value forwardOpenURLOptions(ns::Object* self, const Args& args) {
    handOpenedURL(args);
    return forwardAndCombine(self, kOpenURLOptions, args);
}

ns::Value forwardOpenURLSource(ns::Object* self, const Args& args) {
    handOpenedURL(args);
    return forwardAndCombine(self, kOpenURLSource, args);
}

ns::Value forwardContinueActivity(ns::Object* self, const Args& args) {
    const ns::ObjectPtr activity = args.size() > 1 ? args[1].asObject() : nullptr;
    auto link = QRVAMeasurement::deepLinkFromUserActivity(activity);
    if (link && !link->absoluteString().empty()) QRVAnalytics::handleOpenURL(*link);
    return forwardAndCombine(self, kContinueActivity, args);
}

ns::Value forwardBackgroundSession(ns::Object* self, const Args& args) {
    const std::string identifier = args.size() > 1 && args[1].isString() ? args[1].asString() : std::string();
    ns::Value completion = args.size() > 2 ? args[2] : ns::Value();
    QRVNetwork::handleEventsForBackgroundURLSessionID(identifier, [completion] { ns::BlockObject::call(completion); });
    if (auto swap = swapFor(self)) {
        auto it = swap->realImplementations.find(kBackgroundSession);
        if (it != swap->realImplementations.end() && it->second) it->second(self, args);
    }
    return {};
}

ns::Value fakeDescription(ns::Object* self, const Args&) {
    return ns::Value(ns::format("<%@: %p>", QRVAAppDelegateProxy::realClassName(*self), static_cast<const void*>(self)));
}

// MARK: Defaults for delegates without a handler

void logDefaultOnce(size_t index, long code, const char* selector, const ns::Object& self) {
    if (registry().defaultLogged[index].exchange(true)) return;
    QRVALog(3, code,
           std::string("Implementation of ") + selector +
               " not found. Please add the handler into your App Delegate. Class",
           ns::Array{ns::Value(QRVAAppDelegateProxy::realClassName(self))});
}

ns::Value defaultOpenURL(ns::Object* self, const Args&) {
    logDefaultOnce(0, 3008, kOpenURLSource, *self);
    return true;
}

ns::Value defaultBackgroundSession(ns::Object* self, const Args&) {
    logDefaultOnce(1, 3009, kBackgroundSession, *self);
    return {};
}

ns::Value defaultContinueActivity(ns::Object* self, const Args&) {
    logDefaultOnce(2, 3010, kContinueActivity, *self);
    return true;
}

const std::array<std::pair<const char*, const char*>, 3> kDefaults{{
    {kOpenURLSource, "defaultApplication:openURL:sourceApplication:annotation:"},
    {kContinueActivity, "defaultApplication:continueUserActivity:restorationHandler:"},
    {kBackgroundSession, "defaultApplication:handleEventsForBackgroundURLSession:completionHandler:"},
}};

ns::Class& proxyClass() {
    ns::Class& cls = ns::Runtime::registerClass(kProxyClass);
    if (!cls.instanceRespondsTo("fakeDescription")) {
        cls.addInstanceMethod(kOpenURLOptions, forwardOpenURLOptions);
        cls.addInstanceMethod(kOpenURLSource, forwardOpenURLSource);
        cls.addInstanceMethod(kContinueActivity, forwardContinueActivity);
        cls.addInstanceMethod(kBackgroundSession, forwardBackgroundSession);
        cls.addInstanceMethod("fakeDescription", fakeDescription);
        cls.addInstanceMethod(kDefaults[0].second, defaultOpenURL);
        cls.addInstanceMethod(kDefaults[1].second, defaultContinueActivity);
        cls.addInstanceMethod(kDefaults[2].second, defaultBackgroundSession);
    }
    return cls;
}

}  // namespace

// MARK: - Switch and load

bool QRVAAppDelegateProxy::isAppDelegateProxyEnabled() {
    const ns::Value flag = ns::Bundle::mainBundle()->objectForInfoDictionaryKey(kQRVAAppDelegateProxyEnabledPlistKey);
    if (flag.isBool()) return flag.asBool();
    if (flag.isNumber()) return flag.doubleValue() != 0;
    return true;
}

void QRVAAppDelegateProxy::load() {
    if (!isAppDelegateProxyEnabled()) {
        QRVLogWarning(kQRVLoggerAnalytics, logCode(3016), kDisabledMessage);
        return;
    }
    proxyClass();
    // The system skips a callback the delegate has no handler for, so every
    // delegate class gets the defaults now, whether or not it is proxied later.
    for (ns::Class* cls : ns::Runtime::classesDeclaringProtocol(kDelegateProtocol)) {
        if (cls->name() != kProxyClass) fulfillRequiredMethodsForAppDelegateClass(*cls);
    }
}

std::string QRVAAppDelegateProxy::realClassName(const ns::Object& object) {
    if (auto swap = swapFor(&object)) return swap->realClass;
    return object.className();
}

// MARK: - Adding methods

ns::Method QRVAAppDelegateProxy::implementationOfMethodSelector(std::string_view selector, const ns::Class& cls) {
    return cls.instanceMethod(selector);
}

void QRVAAppDelegateProxy::addInstanceMethodWithSelector(std::string_view selector, const ns::Class& fromClass,
                                                         ns::Class& toClass) {
    addInstanceMethodWithDestinationSelector(selector, selector, fromClass, toClass);
}

void QRVAAppDelegateProxy::addInstanceMethodWithDestinationSelector(std::string_view destination,
                                                                    std::string_view source,
                                                                    const ns::Class& fromClass, ns::Class& toClass) {
    if (!toClass.addInstanceMethod(destination, implementationOfMethodSelector(source, fromClass))) {
        QRVLogWarning(kQRVLoggerAnalytics, logCode(3017), "Class already has instance implementation.");
    }
}

void QRVAAppDelegateProxy::fulfillRequiredMethodsForAppDelegateClass(ns::Class& cls) {
    for (const auto& [selector, fallback] : kDefaults) {
        if (cls.instanceRespondsTo(selector)) continue;
        addInstanceMethodWithDestinationSelector(selector, fallback, proxyClass(), cls);
        std::lock_guard lock(registry().mutex);
        registry().addedDefaults.emplace_back(cls.name(), selector);
    }
}

// MARK: - The swap

void QRVAAppDelegateProxy::proxyOriginalDelegate(const ns::ObjectPtr& delegate) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!isAppDelegateProxyEnabled()) {
        QRVALog(6, 3000, kDisabledMessage);
        return;
    }
    if (!delegate) {
        QRVALog(1, 3001,
               "Cannot create Quorvane Analytics because App Delegate instance is nil. To log deep link campaigns "
               "manually, call the methods in QRVAnalytics+AppDelegate.");
        return;
    }
    try {
        createSubclassWithObject(delegate);
    } catch (const ns::Exception& e) {
        QRVALog(1, 3002,
               "Cannot create Quorvane Analytics App Delegate Proxy. To log deep link campaigns manually, call the "
               "methods in QRVAnalytics+AppDelegate. Exception",
               ns::Array{ns::Value(e.name() + ": " + e.reason())});
    }
}

namespace {

// Routes the proxied selectors of the real class through the dispatchers.
void installDispatchers(ns::Class& real, const Swap& swap) {
    std::lock_guard lock(registry().mutex);
    auto& originals = registry().classOriginals[real.name()];
    for (size_t i = 0; i < kProxied.size(); ++i) {
        if (!swap.realImplementations.contains(kProxied[i])) continue;
        ns::Method previous = real.replaceInstanceMethod(kProxied[i], kDispatchers[i]);
        // A second delegate of the same class must not save the dispatcher
        // as the class's own implementation.
        if (!isDispatcher(previous)) originals[kProxied[i]] = std::move(previous);
    }
}

}  // namespace

void QRVAAppDelegateProxy::createSubclassWithObject(const ns::ObjectPtr& delegate) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!isAppDelegateProxyEnabled()) {
        QRVALog(6, 3003, kDisabledMessage);
        return;
    }
    const std::string realName = realClassName(*delegate);
    const std::string name = ns::format("%@-%0.0f", "QRVA_" + realName, ns::Clock::nowSeconds() * 1000);
    if (ns::Runtime::lookUpClass(name)) {
        QRVALog(1, 3004, "Cannot create a Quorvane Analytics proxy for App Delegate. Subclass already exists. "
                        "Original Class, subclass", ns::Array{ns::Value(realName), ns::Value(name)});
        return;
    }
    ns::Class* real = ns::Runtime::lookUpClass(realName);
    if (!real) {
        QRVALog(1, 3005, "Cannot create a Quorvane Analytics proxy for App Delegate. Original Class, subclass",
               ns::Array{ns::Value(realName), ns::Value()});
        return;
    }
    ns::Class& subclass = ns::Runtime::registerClass(name, realName);
    Swap swap{delegate, realName, name, {}};
    for (const char* selector : kProxied) {
        if (selector == std::string_view(kOpenURLOptions) && !real->instanceRespondsTo(selector)) continue;
        addInstanceMethodWithSelector(selector, proxyClass(), subclass);
        swap.realImplementations[selector] = real->instanceMethod(selector);
    }
    addInstanceMethodWithDestinationSelector("description", "fakeDescription", proxyClass(), subclass);
    installDispatchers(*real, swap);
    {
        std::lock_guard lock(registry().mutex);
        registry().swaps[delegate.get()] = std::move(swap);
    }
    QRVALog(6, 3007, ns::format("Successfully created Quorvane Analytics App Delegate Proxy automatically. To disable "
                               "the proxy, set the flag %@ to NO in the Info.plist",
                               kQRVAAppDelegateProxyEnabledPlistKey));
}

// MARK: - Interceptors

std::optional<std::string> QRVAAppDelegateProxy::registerAppDelegateInterceptor(const ns::ObjectPtr& interceptor) {
    if (!interceptor) {
        QRVLogError(kQRVLoggerAnalytics, logCode(3011), "AppDelegateProxy cannot add nil interceptor.");
        return std::nullopt;
    }
    if (!ns::Runtime::conformsTo(*interceptor, kDelegateProtocol)) {
        QRVLogError(kQRVLoggerAnalytics, logCode(3012),
                    "AppDelegateProxy interceptor does not conform to UIApplicationDelegate");
        return std::nullopt;
    }
    const std::string id = ns::format("%@%p", "QRVA_", static_cast<const void*>(interceptor.get()));
    if (id.empty()) {
        QRVLogError(kQRVLoggerAnalytics, logCode(3013), "AppDelegateProxy cannot create Interceptor ID.");
        return std::nullopt;
    }
    std::lock_guard lock(registry().mutex);
    registry().interceptors[id] = QRVAZeroingWeakContainer{interceptor};
    return id;
}

void QRVAAppDelegateProxy::unregisterAppDelegateInterceptorWithID(const std::optional<std::string>& interceptorID) {
    if (!interceptorID) {
        QRVLogError(kQRVLoggerAnalytics, logCode(3014), "AppDelegateProxy cannot unregister empty interceptor ID.");
        return;
    }
    std::unique_lock lock(registry().mutex);
    auto it = registry().interceptors.find(*interceptorID);
    if (it == registry().interceptors.end() || it->second.object.expired()) {
        lock.unlock();
        QRVLogError(kQRVLoggerAnalytics, logCode(3015),
                    "AppDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID %@",
                    *interceptorID);
        return;
    }
    registry().interceptors.erase(it);
}

void QRVAAppDelegateProxy::notifyInterceptorsWithMethodSelector(
    std::string_view selector, const std::function<void(const ns::ObjectPtr&)>& callback) {
    if (!callback) return;
    std::map<std::string, QRVAZeroingWeakContainer> snapshot;
    {
        std::lock_guard lock(registry().mutex);
        snapshot = registry().interceptors;
    }
    for (const auto& [id, container] : snapshot) {
        ns::ObjectPtr interceptor = container.object.lock();
        if (!interceptor) {
            QRVLogWarning(kQRVLoggerAnalytics, logCode(3018),
                          "AppDelegateProxy cannot find interceptor with ID %@. Removing the interceptor.", id);
            std::lock_guard lock(registry().mutex);
            registry().interceptors.erase(id);
            continue;
        }
        if (ns::Runtime::respondsTo(*interceptor, selector)) callback(interceptor);
    }
}

// MARK: - Testing

void QRVAAppDelegateProxy::resetForTesting() {
    std::lock_guard lock(registry().mutex);
    auto& r = registry();
    for (auto& [className, originals] : r.classOriginals) {
        ns::Class* cls = ns::Runtime::lookUpClass(className);
        for (auto& [selector, original] : originals) {
            // Only a dispatcher of ours is undone, never another proxy's method.
            if (!cls || !isDispatcher(cls->instanceMethod(selector))) continue;
            if (original) cls->replaceInstanceMethod(selector, original);
            else cls->removeInstanceMethod(selector);
        }
    }
    for (const auto& [className, selector] : r.addedDefaults) {
        if (ns::Class* cls = ns::Runtime::lookUpClass(className)) cls->removeInstanceMethod(selector);
    }
    r.classOriginals.clear();
    r.addedDefaults.clear();
    r.swaps.clear();
    r.interceptors.clear();
    for (auto& logged : r.defaultLogged) logged = false;
}

// After the program's own classes (the app's delegate registers at 700), as
// every class of the image is there when the system loads this one.
NS_REGISTER_LOAD_HOOK(900, "QRVAAppDelegateProxy", [] { QRVAAppDelegateProxy::load(); });
