#include "messaging/QRVMessagingRemoteNotificationsProxy.h"

#include <algorithm>
#include <mutex>

#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingRemoteMessage.h"
#include "platform/application.h"
#include "platform/block_object.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/no_destructor.h"

namespace {

constexpr const char* kUIApplicationDelegateProtocol = "UIApplicationDelegate";
constexpr const char* kUserNotificationCenterDelegateProtocol = "UNUserNotificationCenterDelegate";
constexpr const char* kUserNotificationCenterClass = "UNUserNotificationCenter";
constexpr const char* kNotificationClass = "UNNotification";
constexpr const char* kDelegateKeyPath = "delegate";

constexpr const char* kReceiveWithHandlerSelector = "application:didReceiveRemoteNotification:fetchCompletionHandler:";
constexpr const char* kReceiveSelector = "application:didReceiveRemoteNotification:";
constexpr const char* kReceivedRemoteMessageSelector = "applicationReceivedRemoteMessage:";
constexpr const char* kRegisterSelector = "application:didRegisterForRemoteNotificationsWithDeviceToken:";
constexpr const char* kFailToRegisterSelector = "application:didFailToRegisterForRemoteNotificationsWithError:";
constexpr const char* kWillPresentSelector = "userNotificationCenter:willPresentNotification:withCompletionHandler:";

// Marks the proxy's own observation of the centre.
const int kUserNotificationCenterDelegateContext = 0;

// The proxy whose saved implementations the replacements call: the one that
// replaced methods last (the shared one in a program).
std::mutex gActiveMutex;
std::weak_ptr<QRVMessagingRemoteNotificationsProxy>& activeProxySlot() {
    static ns::NoDestructor<std::weak_ptr<QRVMessagingRemoteNotificationsProxy>> slot;
    return *slot;
}

std::shared_ptr<QRVMessagingRemoteNotificationsProxy> activeProxy() {
    std::lock_guard lock(gActiveMutex);
    return activeProxySlot().lock();
}

bool isKindOfClass(const ns::Object& object, std::string_view className) {
    if (className.empty() || className == "NSObject") return true;
    for (ns::Class* cls = ns::Runtime::lookUpClass(object.className()); cls; cls = cls->superclass()) {
        if (cls->name() == className) return true;
    }
    return object.className() == className;
}

// The messaging object, reached by name so the proxy needs nothing of it
// but its two selectors.
void sendToMessaging(std::string_view selector, const ns::Value& argument) {
    ns::Class* cls = ns::Runtime::lookUpClass("QRVMessaging");
    if (!cls || !cls->classRespondsTo("messaging")) return;
    ns::Value messaging = ns::Runtime::sendClass("QRVMessaging", "messaging");
    if (!messaging.isObject() || !messaging.asObject()) return;
    if (!ns::Runtime::respondsTo(*messaging.asObject(), selector)) return;
    ns::Runtime::send(*messaging.asObject(), selector, {argument});
}

ns::Value argument(const std::vector<ns::Value>& args, size_t index) {
    return index < args.size() ? args[index] : ns::Value();
}

ns::Value callOriginal(std::string_view selector, ns::Object* self, const std::vector<ns::Value>& args) {
    auto proxy = activeProxy();
    ns::Method original = proxy ? proxy->originalImplementationForSelector(selector) : ns::Method();
    return original ? original(self, args) : ns::Value();
}

ns::Value QDX_swizzle_appDidReceiveRemoteNotificationWithHandler(ns::Object* self, const std::vector<ns::Value>& args) {
    const ns::Value userInfo = argument(args, 1);
    if (userInfo.isDictionary()) sendToMessaging("appDidReceiveMessage:", userInfo);
    return callOriginal(kReceiveWithHandlerSelector, self, args);
}

ns::Value QDX_swizzle_appDidReceiveRemoteNotification(ns::Object* self, const std::vector<ns::Value>& args) {
    const ns::Value userInfo = argument(args, 1);
    if (userInfo.isDictionary()) sendToMessaging("appDidReceiveMessage:", userInfo);
    return callOriginal(kReceiveSelector, self, args);
}

ns::Value QDX_swizzle_applicationReceivedRemoteMessage(ns::Object* self, const std::vector<ns::Value>& args) {
    if (auto message = argument(args, 0).asObjectOf<QRVMessagingRemoteMessage>()) {
        sendToMessaging("appDidReceiveMessage:", ns::Value(message->appData()));
    }
    return callOriginal(kReceivedRemoteMessageSelector, self, args);
}

ns::Value QDX_swizzle_appDidRegisterForRemoteNotifications(ns::Object* self, const std::vector<ns::Value>& args) {
    const ns::Value token = argument(args, 1);
    if (token.isData()) sendToMessaging("setAPNSToken:", token);
    return callOriginal(kRegisterSelector, self, args);
}

ns::Value QDX_swizzle_appDidFailToRegisterForRemoteNotifications(ns::Object* self,
                                                                 const std::vector<ns::Value>& args) {
    auto error = argument(args, 1).asObjectOf<ns::Error>();
    QRVMessagingLoggerError(12002, "Error in application:didFailToRegisterForRemoteNotificationsWithError: %@",
                            error ? error->localizedDescription() : std::string());
    return callOriginal(kFailToRegisterSelector, self, args);
}

ns::Value QDX_swizzle_willPresentNotificationWithHandler(ns::Object* self, const std::vector<ns::Value>& args) {
    auto proxy = activeProxy();
    const ns::Method original = proxy ? proxy->originalImplementationForSelector(kWillPresentSelector) : ns::Method();
    const ns::Value handler = argument(args, 2);
    // The system waits for the completion handler; a delegate class that had
    // no will-present method of its own would otherwise never answer it.
    auto callOriginalOrComplete = [&] {
        if (original) return original(self, args);
        ns::BlockObject::call(handler, {ns::Value(int64_t(0))});
        return ns::Value();
    };
    if (!ns::Runtime::lookUpClass(kUserNotificationCenterClass) || !ns::Runtime::lookUpClass(kNotificationClass)) {
        return callOriginalOrComplete();
    }
    const ns::ObjectPtr center = argument(args, 0).isObject() ? argument(args, 0).asObject() : nullptr;
    const ns::ObjectPtr notification = argument(args, 1).isObject() ? argument(args, 1).asObject() : nullptr;
    if (center && isKindOfClass(*center, kUserNotificationCenterClass) && notification &&
        isKindOfClass(*notification, kNotificationClass) && handler.asObjectOf<ns::BlockObject>()) {
        auto request = getNamedPropertyFromObject(notification, "request", "UNNotificationRequest");
        auto content = getNamedPropertyFromObject(request, "content", "UNNotificationContent");
        if (content && ns::Runtime::respondsTo(*content, "userInfo")) {
            const ns::Value userInfo = ns::Runtime::send(*content, "userInfo");
            if (userInfo.isDictionary()) sendToMessaging("appDidReceiveMessage:", userInfo);
        }
    }
    return callOriginalOrComplete();
}

}  // namespace

ns::ObjectPtr getNamedPropertyFromObject(const ns::ObjectPtr& object, std::string_view propertyName,
                                         std::string_view className) {
    if (!object || !ns::Runtime::respondsTo(*object, propertyName)) return nullptr;
    ns::Value result = ns::Runtime::send(*object, propertyName);
    if (!result.isObject() || !result.asObject()) return nullptr;
    return isKindOfClass(*result.asObject(), className) ? result.asObject() : nullptr;
}

bool QRVMessagingRemoteNotificationsProxy::canSwizzleMethods() {
    const ns::Dictionary info = ns::Bundle::mainBundle()->infoDictionary();
    auto it = info.find(kQRVMessagingRemoteNotificationsProxyEnabledInfoPlistKey);
    if (it == info.end() || !(it->second.isNumber() || it->second.isBool())) return true;
    return it->second.isBool() ? it->second.asBool() : it->second.asDouble() != 0;
}

void QRVMessagingRemoteNotificationsProxy::swizzleMethods() { sharedProxy()->swizzleMethodsIfPossible(); }

std::shared_ptr<QRVMessagingRemoteNotificationsProxy> QRVMessagingRemoteNotificationsProxy::sharedProxy() {
    static const ns::NoDestructor<std::shared_ptr<QRVMessagingRemoteNotificationsProxy>> shared(make());
    return *shared;
}

std::shared_ptr<QRVMessagingRemoteNotificationsProxy> QRVMessagingRemoteNotificationsProxy::make() {
    return std::shared_ptr<QRVMessagingRemoteNotificationsProxy>(new QRVMessagingRemoteNotificationsProxy());
}

QRVMessagingRemoteNotificationsProxy::~QRVMessagingRemoteNotificationsProxy() {
    unswizzleAllMethods();
    originalAppDelegateImps_.clear();
    if (userNotificationCenter_) {
        try {
            ns::KeyValueObserving::removeObserver(*userNotificationCenter_, this, kDelegateKeyPath,
                                                  &kUserNotificationCenterDelegateContext);
        } catch (const ns::Exception&) {
            // Forgotten already (the centre was reset); nothing left to undo.
        }
    }
}

void QRVMessagingRemoteNotificationsProxy::swizzleMethodsIfPossible() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (didSwizzleMethods_) return;
    swizzleAppDelegateMethods(ns::Application::shared()->delegate());
    if (auto centerClass = ns::Runtime::classObject(kUserNotificationCenterClass)) {
        auto center = getNamedPropertyFromObject(centerClass, "currentNotificationCenter", kUserNotificationCenterClass);
        if (center) listenForDelegateChangesInUserNotificationCenter(center);
    }
    didSwizzleMethods_ = true;
}

void QRVMessagingRemoteNotificationsProxy::swizzleAppDelegateMethods(const ns::ObjectPtr& appDelegate) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!appDelegate || !ns::Runtime::conformsTo(*appDelegate, kUIApplicationDelegateProtocol)) return;
    ns::Class* cls = ns::Runtime::lookUpClass(appDelegate->className());
    if (!cls) return;
    const bool hasHandlerForm = cls->instanceRespondsTo(kReceiveWithHandlerSelector);
    if (hasHandlerForm) {
        swizzleSelector(kReceiveWithHandlerSelector, *cls, QDX_swizzle_appDidReceiveRemoteNotificationWithHandler,
                        kUIApplicationDelegateProtocol);
    }
    if (cls->instanceRespondsTo(kReceiveSelector) || !hasHandlerForm) {
        swizzleSelector(kReceiveSelector, *cls, QDX_swizzle_appDidReceiveRemoteNotification,
                        kUIApplicationDelegateProtocol);
    }
    if (cls->instanceRespondsTo(kReceivedRemoteMessageSelector)) {
        swizzleSelector(kReceivedRemoteMessageSelector, *cls, QDX_swizzle_applicationReceivedRemoteMessage,
                        kUIApplicationDelegateProtocol);
    }
    swizzleSelector(kRegisterSelector, *cls, QDX_swizzle_appDidRegisterForRemoteNotifications,
                    kUIApplicationDelegateProtocol);
    swizzleSelector(kFailToRegisterSelector, *cls, QDX_swizzle_appDidFailToRegisterForRemoteNotifications,
                    kUIApplicationDelegateProtocol);
    didSwizzleAppDelegateMethods_ = true;
}

void QRVMessagingRemoteNotificationsProxy::listenForDelegateChangesInUserNotificationCenter(
    const ns::ObjectPtr& center) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!center || !isKindOfClass(*center, kUserNotificationCenterClass)) return;
    auto delegate = getNamedPropertyFromObject(center, kDelegateKeyPath);
    if (delegate && ns::Runtime::conformsTo(*delegate, kUserNotificationCenterDelegateProtocol)) {
        swizzleUserNotificationCenterDelegate(delegate);
    }
    addDelegateObserverToUserNotificationCenter(center);
}

void QRVMessagingRemoteNotificationsProxy::swizzleUserNotificationCenterDelegate(const ns::ObjectPtr& delegate) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!delegate || delegate == currentUserNotificationCenterDelegate_) return;
    if (!ns::Runtime::conformsTo(*delegate, kUserNotificationCenterDelegateProtocol)) return;
    ns::Class* cls = ns::Runtime::lookUpClass(delegate->className());
    if (!cls) return;
    swizzleSelector(kWillPresentSelector, *cls, QDX_swizzle_willPresentNotificationWithHandler,
                    kUserNotificationCenterDelegateProtocol);
    currentUserNotificationCenterDelegate_ = delegate;
    hasSwizzledUserNotificationDelegate_ = true;
}

void QRVMessagingRemoteNotificationsProxy::unswizzleUserNotificationCenterDelegate(const ns::ObjectPtr& delegate) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!delegate || delegate != currentUserNotificationCenterDelegate_) return;
    if (ns::Class* cls = ns::Runtime::lookUpClass(delegate->className())) unswizzleSelector(kWillPresentSelector, *cls);
    currentUserNotificationCenterDelegate_.reset();
    hasSwizzledUserNotificationDelegate_ = false;
}

void QRVMessagingRemoteNotificationsProxy::addDelegateObserverToUserNotificationCenter(const ns::ObjectPtr& center) {
    removeUserNotificationCenterDelegateObserver();
    try {
        ns::KeyValueObserving::addObserver(
            center, std::static_pointer_cast<QRVMessagingRemoteNotificationsProxy>(shared_from_this()),
            kDelegateKeyPath, ns::kKeyValueObservingOptionOld | ns::kKeyValueObservingOptionNew,
            &kUserNotificationCenterDelegateContext);
        userNotificationCenter_ = center;
        isObservingUserNotificationDelegateChanges_ = true;
    } catch (const ns::Exception& e) {
        QRVMessagingLoggerError(
            12000,
            "Encountered exception trying to add a KVO observer for UNUserNotificationCenter's 'delegate' property: %@",
            e.reason());
    }
}

void QRVMessagingRemoteNotificationsProxy::removeUserNotificationCenterDelegateObserver() {
    if (!userNotificationCenter_) return;
    try {
        ns::KeyValueObserving::removeObserver(*userNotificationCenter_, this, kDelegateKeyPath,
                                              &kUserNotificationCenterDelegateContext);
    } catch (const ns::Exception& e) {
        QRVMessagingLoggerError(12001,
                                "Encountered exception trying to remove a KVO observer for UNUserNotificationCenter's "
                                "'delegate' property: %@",
                                e.reason());
    }
    userNotificationCenter_.reset();
    isObservingUserNotificationDelegateChanges_ = false;
}

void QRVMessagingRemoteNotificationsProxy::observeValueForKeyPath(const std::string& keyPath, const ns::ObjectPtr&,
                                                                  const ns::Dictionary& change, const void* context) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (context != &kUserNotificationCenterDelegateContext || keyPath != kDelegateKeyPath) return;
    auto objectOf = [&](const char* key) -> ns::ObjectPtr {
        auto it = change.find(key);
        return it != change.end() && it->second.isObject() ? it->second.asObject() : nullptr;
    };
    if (auto old = objectOf(ns::kKeyValueChangeOldKey)) unswizzleUserNotificationCenterDelegate(old);
    if (auto now = objectOf(ns::kKeyValueChangeNewKey)) swizzleUserNotificationCenterDelegate(now);
}

void QRVMessagingRemoteNotificationsProxy::saveOriginalImplementation(ns::Method implementation,
                                                                      std::string_view selector) {
    if (!implementation || selector.empty()) return;
    originalAppDelegateImps_.insert_or_assign(std::string(selector), std::move(implementation));
}

ns::Method QRVMessagingRemoteNotificationsProxy::originalImplementationForSelector(std::string_view selector) const {
    auto it = originalAppDelegateImps_.find(selector);
    return it == originalAppDelegateImps_.end() ? ns::Method() : it->second;
}

void QRVMessagingRemoteNotificationsProxy::removeImplementationForSelector(std::string_view selector) {
    auto it = originalAppDelegateImps_.find(selector);
    if (it != originalAppDelegateImps_.end()) originalAppDelegateImps_.erase(it);
}

void QRVMessagingRemoteNotificationsProxy::trackSwizzledSelector(std::string_view selector,
                                                                 std::string_view className) {
    swizzledSelectorsByClass_[std::string(className)].emplace_back(selector);
}

void QRVMessagingRemoteNotificationsProxy::swizzleSelector(std::string_view selector, ns::Class& cls,
                                                           Replacement implementation, std::string_view) {
    {
        std::lock_guard lock(gActiveMutex);
        activeProxySlot() = std::static_pointer_cast<QRVMessagingRemoteNotificationsProxy>(shared_from_this());
    }
    if (cls.instanceRespondsTo(selector)) {
        ns::Method previous = cls.replaceInstanceMethod(selector, implementation);
        // Replacing twice must not save the replacement as its own original,
        // which would then call itself for ever.
        auto* previousFunction = previous.target<Replacement>();
        const bool isReplacement = previousFunction && *previousFunction == implementation;
        if (previous && !isReplacement) saveOriginalImplementation(std::move(previous), selector);
    } else {
        // Every selector the proxy adds is an optional method of the
        // delegate protocol passed in; the runtime keeps no type encodings.
        cls.addInstanceMethod(selector, implementation);
    }
    trackSwizzledSelector(selector, cls.name());
}

void QRVMessagingRemoteNotificationsProxy::unswizzleSelector(std::string_view selector, ns::Class& cls) {
    // Only a replacement of the proxy is undone: a selector tracked twice
    // (a centre delegate class swizzled, restored and swizzled again) must
    // not have its restored original removed by the second undo.
    const ns::Method current = cls.instanceMethod(selector);
    if (!current || !current.target<Replacement>()) return;
    if (ns::Method original = originalImplementationForSelector(selector)) {
        cls.replaceInstanceMethod(selector, std::move(original));
        removeImplementationForSelector(selector);
    } else {
        cls.removeInstanceMethod(selector);
    }
}

void QRVMessagingRemoteNotificationsProxy::unswizzleAllMethods() {
    for (const auto& [className, selectors] : swizzledSelectorsByClass_) {
        ns::Class* cls = ns::Runtime::lookUpClass(className);
        if (!cls) continue;
        for (const auto& selector : selectors) unswizzleSelector(selector, *cls);
    }
    swizzledSelectorsByClass_.clear();
}

ns::Method QRVMessagingRemoteNotificationsProxy::nonExistantMethodImplementationForClass(const ns::Class& cls) {
    return cls.instanceMethod("aNonExistantMethod");
}
