#include "uikit/UserNotifications.h"

#include <algorithm>

#include "platform/application.h"
#include "platform/block_object.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/key_value_observing.h"
#include "platform/no_destructor.h"
#include "platform/push_gateway.h"
#include "platform/runtime.h"

namespace ns {

std::shared_ptr<UNNotificationContent> UNNotificationContent::fromPayload(const Dictionary& payload) {
    auto content = std::make_shared<UNNotificationContent>();
    content->userInfo = payload;
    auto aps = payload.find("aps");
    if (aps == payload.end() || !aps->second.isDictionary()) return content;
    const Dictionary& d = aps->second.asDictionary();
    auto text = [&](const Dictionary& from, const char* key) {
        auto it = from.find(key);
        return it != from.end() && it->second.isString() ? it->second.asString() : std::string();
    };
    if (auto alert = d.find("alert"); alert != d.end()) {
        if (alert->second.isString()) {
            content->body = alert->second.asString();
        } else if (alert->second.isDictionary()) {
            content->title = text(alert->second.asDictionary(), "title");
            content->subtitle = text(alert->second.asDictionary(), "subtitle");
            content->body = text(alert->second.asDictionary(), "body");
        }
    }
    if (auto badge = d.find("badge"); badge != d.end()) content->badge = badge->second;
    content->sound = text(d, "sound");
    content->categoryIdentifier = text(d, "category");
    return content;
}

std::shared_ptr<UNUserNotificationCenter> UNUserNotificationCenter::currentNotificationCenter() {
    static ns::NoDestructor<std::shared_ptr<UNUserNotificationCenter>> center(
        std::make_shared<UNUserNotificationCenter>());
    return *center;
}

ObjectPtr UNUserNotificationCenter::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void UNUserNotificationCenter::setDelegate(const ObjectPtr& delegate) {
    ObjectPtr old;
    std::vector<DelegateObserver> observers;
    {
        std::lock_guard lock(mutex_);
        old = delegate_.lock();
        delegate_ = delegate;
        for (const auto& [token, observer] : observers_) observers.push_back(observer);
    }
    for (const auto& observer : observers) observer(old, delegate);
    KeyValueObserving::didChangeValueForKey(shared_from_this(), "delegate", old ? Value(old) : Value(),
                                            delegate ? Value(delegate) : Value());
}

uint64_t UNUserNotificationCenter::addDelegateObserver(DelegateObserver observer) {
    std::lock_guard lock(mutex_);
    const uint64_t token = nextObserver_++;
    observers_.emplace_back(token, std::move(observer));
    return token;
}

void UNUserNotificationCenter::removeDelegateObserver(uint64_t token) {
    std::lock_guard lock(mutex_);
    observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                    [token](const auto& entry) { return entry.first == token; }),
                     observers_.end());
}

void UNUserNotificationCenter::requestAuthorizationWithOptions(UNAuthorizationOptions options,
                                                               AuthorizationCompletion completion) {
    bool granted;
    {
        std::lock_guard lock(mutex_);
        requested_.push_back(options);
        if (settings_->authorizationStatus == UNAuthorizationStatus::NotDetermined) {
            settings_->authorizationStatus = answer_ ? UNAuthorizationStatus::Authorized : UNAuthorizationStatus::Denied;
            settings_->options = answer_ ? options : 0;
        } else if (settings_->authorizationStatus == UNAuthorizationStatus::Authorized) {
            settings_->options |= options;
        }
        granted = settings_->authorizationStatus == UNAuthorizationStatus::Authorized;
    }
    // The system answers from its own queue, not the caller's.
    DispatchQueue::global()->async([completion = std::move(completion), granted] {
        if (completion) completion(granted, nullptr);
    });
}

void UNUserNotificationCenter::setUserAnswer(bool grant) {
    std::lock_guard lock(mutex_);
    answer_ = grant;
}

std::shared_ptr<UNNotificationSettings> UNUserNotificationCenter::notificationSettings() const {
    std::lock_guard lock(mutex_);
    return std::make_shared<UNNotificationSettings>(*settings_);
}

std::vector<UNAuthorizationOptions> UNUserNotificationCenter::requestedOptions() const {
    std::lock_guard lock(mutex_);
    return requested_;
}

void UNUserNotificationCenter::deliver(const std::shared_ptr<UNNotification>& notification) {
    ObjectPtr target = delegate();
    const char* selector = "userNotificationCenter:willPresentNotification:withCompletionHandler:";
    if (!target || !Runtime::respondsTo(*target, selector)) return;
    auto self = std::static_pointer_cast<UNUserNotificationCenter>(shared_from_this());
    auto handler = BlockObject::makeVoid([self, notification](const std::vector<Value>& args) {
        UNNotificationPresentationOptions options = 0;
        if (!args.empty() && args[0].isNumber()) options = UNNotificationPresentationOptions(args[0].asInt());
        if (options == UNNotificationPresentationOptionNone) return;
        std::lock_guard lock(self->mutex_);
        self->presented_.push_back(notification);
    });
    Runtime::send(*target, selector, {Value(shared_from_this()), Value(std::static_pointer_cast<Object>(notification)),
                                      Value(std::static_pointer_cast<Object>(handler))});
}

std::vector<std::shared_ptr<UNNotification>> UNUserNotificationCenter::presentedNotifications() const {
    std::lock_guard lock(mutex_);
    return presented_;
}

void UNUserNotificationCenter::respond(const std::shared_ptr<UNNotificationResponse>& response,
                                       std::function<void()> completion) {
    ObjectPtr target = delegate();
    const char* selector = "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";
    if (!target || !Runtime::respondsTo(*target, selector)) {
        if (completion) completion();
        return;
    }
    auto handler = BlockObject::makeVoid([completion = std::move(completion)](const std::vector<Value>&) {
        if (completion) completion();
    });
    Runtime::send(*target, selector, {Value(shared_from_this()), Value(std::static_pointer_cast<Object>(response)),
                                      Value(std::static_pointer_cast<Object>(handler))});
}

void UNUserNotificationCenter::resetForTesting() {
    KeyValueObserving::removeAllObservers(*this);
    std::lock_guard lock(mutex_);
    delegate_.reset();
    observers_.clear();
    answer_ = true;
    settings_ = std::make_shared<UNNotificationSettings>();
    requested_.clear();
    presented_.clear();
}

void receiveRemoteNotification(const Dictionary& payload, std::function<void(int64_t)> completion) {
    auto app = Application::shared();
    auto content = UNNotificationContent::fromPayload(payload);
    if (app->applicationState() == Application::State::Active && (!content->body.empty() || !content->title.empty())) {
        auto id = payload.find("kdx.message_id");
        auto request = UNNotificationRequest::requestWithIdentifier(
            id != payload.end() && id->second.isString() ? id->second.asString() : std::string("remote"), content);
        UNUserNotificationCenter::currentNotificationCenter()->deliver(
            std::make_shared<UNNotification>(request, Date{Clock::current().now()}));
    }
    app->deliverRemoteNotification(payload, std::move(completion));
}

void fetchRemoteNotifications(std::function<void(size_t, ErrorRef)> completion) {
    const Data token = Application::shared()->deviceToken();
    if (token.empty()) {
        DispatchQueue::main()->async([completion = std::move(completion)] {
            completion(0, Error::make(kCocoaErrorDomain, kRemoteNotificationRegistrationError,
                                      "The application is not registered for remote notifications"));
        });
        return;
    }
    PushGateway::fetchMessages(token, DispatchQueue::main(),
                               [completion = std::move(completion)](std::vector<Dictionary> payloads, ErrorRef error) {
                                   for (const auto& payload : payloads) receiveRemoteNotification(payload);
                                   completion(payloads.size(), error);
                               });
}

namespace {

// The classes other parts look up by name (the messaging proxy finds the
// notification centre and its types, analytics finds UIApplication).
void registerClasses() {
    Runtime::registerClass("UIApplication", "UIResponder").addClassMethod("sharedApplication", [](Object*, const auto&) {
        return Value(std::static_pointer_cast<Object>(Application::shared()));
    });
    auto& center = Runtime::registerClass("UNUserNotificationCenter", "NSObject");
    center.addClassMethod("currentNotificationCenter", [](Object*, const auto&) {
        return Value(std::static_pointer_cast<Object>(UNUserNotificationCenter::currentNotificationCenter()));
    });
    // The properties parts read by name (the messaging proxy).
    center.addInstanceMethod("delegate", [](Object* self, const auto&) {
        auto delegate = static_cast<UNUserNotificationCenter*>(self)->delegate();
        return delegate ? Value(delegate) : Value();
    });
    center.addInstanceMethod("setDelegate:", [](Object* self, const std::vector<Value>& args) {
        static_cast<UNUserNotificationCenter*>(self)->setDelegate(
            !args.empty() && args[0].isObject() ? args[0].asObject() : nullptr);
        return Value();
    });
    Runtime::registerClass("UNNotification", "NSObject").addInstanceMethod("request", [](Object* self, const auto&) {
        return Value(std::static_pointer_cast<Object>(static_cast<UNNotification*>(self)->request()));
    });
    Runtime::registerClass("UNNotificationRequest", "NSObject")
        .addInstanceMethod("content", [](Object* self, const auto&) {
            return Value(std::static_pointer_cast<Object>(static_cast<UNNotificationRequest*>(self)->content()));
        });
    Runtime::registerClass("UNNotificationContent", "NSObject")
        .addInstanceMethod("userInfo", [](Object* self, const auto&) {
            return Value(static_cast<UNNotificationContent*>(self)->userInfo);
        });
    // What a delegate class declares it adopts (Class::addProtocol); the
    // messaging proxy exchanges methods only in conforming classes.
    Runtime::registerProtocol("UIApplicationDelegate",
                              {{"application:didFinishLaunchingWithOptions:"},
                               {"applicationDidBecomeActive:"},
                               {"applicationWillResignActive:"},
                               {"applicationDidEnterBackground:"},
                               {"applicationWillEnterForeground:"},
                               {"applicationWillTerminate:"},
                               {"application:didRegisterForRemoteNotificationsWithDeviceToken:"},
                               {"application:didFailToRegisterForRemoteNotificationsWithError:"},
                               {"application:didReceiveRemoteNotification:"},
                               {"application:didReceiveRemoteNotification:fetchCompletionHandler:"},
                               {"application:didRegisterUserNotificationSettings:"},
                               {"application:continueUserActivity:restorationHandler:"},
                               {"application:openURL:options:"},
                               {"application:openURL:sourceApplication:annotation:"},
                               {"application:handleOpenURL:"}});
    Runtime::registerProtocol("UNUserNotificationCenterDelegate",
                              {{"userNotificationCenter:willPresentNotification:withCompletionHandler:"},
                               {"userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:"}});
    Runtime::registerClass("UNNotificationResponse", "NSObject");
}

}  // namespace

namespace uikit {
void registerBaseClasses();
}

NS_REGISTER_LOAD_HOOK(0, "UIKit", [] {
    uikit::registerBaseClasses();
    registerClasses();
});

}  // namespace ns
