#pragma once
// The application-delegate proxy: so that the application need not forward
// its remote-notification callbacks by hand, it replaces at run time the
// implementations of five methods of the application delegate's class and
// of the will-present method of the notification centre's delegate. Each
// replacement first gives the event to the messaging object (reached as the
// runtime class "QRVMessaging": "messaging", then "appDidReceiveMessage:"
// or "setAPNSToken:") and then calls the application's own implementation,
// when there was one. It follows the notification centre's delegate as it
// changes (key-value observation of the centre's "delegate").
//
// The messaging object installs it while configuring, unless Info.plist's
// "QuorvaneAppDelegateProxyEnabled" holds a number that is false.
//
// Replaced methods are undone by name: with the implementation saved when
// they were replaced, or, for a method the proxy added, by removing it
// again, so the class stops answering the selector instead of answering it
// with nothing behind it.
//
// Main thread only, as the delegate callbacks are.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/key_value_observing.h"
#include "platform/runtime.h"
#include "platform/value.h"

inline constexpr const char* kQRVMessagingRemoteNotificationsProxyEnabledInfoPlistKey =
    "QuorvaneAppDelegateProxyEnabled";

class QRVMessagingRemoteNotificationsProxy : public ns::Object, public ns::KeyValueObserver {
public:
    // YES when the Info.plist key is absent or not a number; else the
    // number's boolean value.
    static bool canSwizzleMethods();
    // swizzleMethodsIfPossible on the shared proxy.
    static void swizzleMethods();
    static std::shared_ptr<QRVMessagingRemoteNotificationsProxy> sharedProxy();
    // A proxy of its own (the shared one lives for the process); its
    // destruction undoes everything it replaced.
    static std::shared_ptr<QRVMessagingRemoteNotificationsProxy> make();
    ~QRVMessagingRemoteNotificationsProxy() override;

    // Once: the shared application's delegate, then the current
    // notification centre's delegate and its changes.
    void swizzleMethodsIfPossible();
    void swizzleAppDelegateMethods(const ns::ObjectPtr& appDelegate);
    void listenForDelegateChangesInUserNotificationCenter(const ns::ObjectPtr& center);
    void swizzleUserNotificationCenterDelegate(const ns::ObjectPtr& delegate);
    void unswizzleUserNotificationCenterDelegate(const ns::ObjectPtr& delegate);
    void addDelegateObserverToUserNotificationCenter(const ns::ObjectPtr& center);
    void removeUserNotificationCenterDelegateObserver();
    // ns::KeyValueObserver.
    void observeValueForKeyPath(const std::string& keyPath, const ns::ObjectPtr& object, const ns::Dictionary& change,
                                const void* context) override;

    // Bookkeeping. An implementation is a runtime method; the saved ones
    // are kept by selector name only.
    void saveOriginalImplementation(ns::Method implementation, std::string_view selector);
    ns::Method originalImplementationForSelector(std::string_view selector) const;
    void removeImplementationForSelector(std::string_view selector);
    void trackSwizzledSelector(std::string_view selector, std::string_view className);
    // `implementation` is one of the proxy's replacement functions.
    using Replacement = ns::Value (*)(ns::Object* self, const std::vector<ns::Value>& args);
    void swizzleSelector(std::string_view selector, ns::Class& cls, Replacement implementation,
                         std::string_view protocolName);
    void unswizzleSelector(std::string_view selector, ns::Class& cls);
    void unswizzleAllMethods();
    // What the class answers for a selector it lacks: nothing (an empty
    // method) in this runtime.
    static ns::Method nonExistantMethodImplementationForClass(const ns::Class& cls);

    bool didSwizzleMethods() const { return didSwizzleMethods_; }
    bool didSwizzleAppDelegateMethods() const { return didSwizzleAppDelegateMethods_; }
    bool hasSwizzledUserNotificationDelegate() const { return hasSwizzledUserNotificationDelegate_; }
    bool isObservingUserNotificationDelegateChanges() const { return isObservingUserNotificationDelegateChanges_; }
    const ns::ObjectPtr& currentUserNotificationCenterDelegate() const { return currentUserNotificationCenterDelegate_; }
    // Class name -> selector names replaced in it.
    const std::map<std::string, std::vector<std::string>>& swizzledSelectorsByClass() const {
        return swizzledSelectorsByClass_;
    }

    std::string className() const override { return "QRVMessagingRemoteNotificationsProxy"; }

private:
    QRVMessagingRemoteNotificationsProxy() = default;

    std::map<std::string, ns::Method, std::less<>> originalAppDelegateImps_;
    std::map<std::string, std::vector<std::string>> swizzledSelectorsByClass_;
    bool didSwizzleMethods_ = false;
    bool didSwizzleAppDelegateMethods_ = false;
    bool hasSwizzledUserNotificationDelegate_ = false;
    bool isObservingUserNotificationDelegateChanges_ = false;
    ns::ObjectPtr userNotificationCenter_;
    ns::ObjectPtr currentUserNotificationCenterDelegate_;
};

// The result of sending `propertyName` to the object when it responds to it
// and the result is an object of the class (any object when no class name is
// given); otherwise null.
ns::ObjectPtr getNamedPropertyFromObject(const ns::ObjectPtr& object, std::string_view propertyName,
                                         std::string_view className = {});
