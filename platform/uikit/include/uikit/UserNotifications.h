#pragma once
// UserNotifications stand-in (and the older UIUserNotificationSettings).
//
// The current notification centre keeps a delegate (weakly) and calls it
// through the runtime's method table with the selectors
// "userNotificationCenter:willPresentNotification:withCompletionHandler:" and
// "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:",
// the completion handler being an ns::BlockObject; a proxy can thus
// exchange the delegate's methods. Changes of the delegate can be observed:
// addDelegateObserver, or key-value observation of "delegate"
// (platform/key_value_observing.h, old and new values, null for none). The
// load hook registers the protocols "UIApplicationDelegate" and
// "UNUserNotificationCenterDelegate", which delegate classes declare with
// Class::addProtocol.
//
// requestAuthorizationWithOptions answers on a global queue, never on the
// caller's, with the person's answer (setUserAnswer; granted unless a test
// or the host says otherwise). Delivery of notifications is driven by the
// host (the push gateway's messages, the browser's sensor panel): deliver()
// asks the delegate whether to present one that arrives while the
// application is active, respond() reports that the person opened one.
//
// Main thread for everything but the authorisation completion.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

namespace ns {

using UNAuthorizationOptions = uint64_t;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionBadge = 1 << 0;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionSound = 1 << 1;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionAlert = 1 << 2;

using UNNotificationPresentationOptions = uint64_t;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionNone = 0;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionBadge = 1 << 0;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionSound = 1 << 1;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionAlert = 1 << 2;

enum class UNAuthorizationStatus { NotDetermined = 0, Denied = 1, Authorized = 2 };

inline constexpr const char* UNNotificationDefaultActionIdentifier = "com.apple.UNNotificationDefaultActionIdentifier";
inline constexpr const char* UNNotificationDismissActionIdentifier = "com.apple.UNNotificationDismissActionIdentifier";

class UNNotificationContent : public Object {
public:
    std::string title;
    std::string subtitle;
    std::string body;
    Value badge;  // a number, or null
    std::string sound;
    std::string categoryIdentifier;
    Dictionary userInfo;
    // The content an APNs payload describes: "aps" -> "alert" (a string or
    // {"title", "body"}), "badge", "sound", "category"; userInfo is the whole
    // payload.
    static std::shared_ptr<UNNotificationContent> fromPayload(const Dictionary& payload);
    std::string className() const override { return "UNNotificationContent"; }
};

class UNNotificationRequest : public Object {
public:
    UNNotificationRequest(std::string identifier, std::shared_ptr<UNNotificationContent> content)
        : identifier_(std::move(identifier)), content_(std::move(content)) {}
    static std::shared_ptr<UNNotificationRequest> requestWithIdentifier(std::string identifier,
                                                                        std::shared_ptr<UNNotificationContent> content) {
        return std::make_shared<UNNotificationRequest>(std::move(identifier), std::move(content));
    }
    const std::string& identifier() const { return identifier_; }
    const std::shared_ptr<UNNotificationContent>& content() const { return content_; }
    std::string className() const override { return "UNNotificationRequest"; }

private:
    std::string identifier_;
    std::shared_ptr<UNNotificationContent> content_;
};

class UNNotification : public Object {
public:
    UNNotification(std::shared_ptr<UNNotificationRequest> request, Date date)
        : request_(std::move(request)), date_(date) {}
    const std::shared_ptr<UNNotificationRequest>& request() const { return request_; }
    Date date() const { return date_; }
    std::string className() const override { return "UNNotification"; }

private:
    std::shared_ptr<UNNotificationRequest> request_;
    Date date_;
};

class UNNotificationResponse : public Object {
public:
    UNNotificationResponse(std::shared_ptr<UNNotification> notification, std::string actionIdentifier)
        : notification_(std::move(notification)), action_(std::move(actionIdentifier)) {}
    const std::shared_ptr<UNNotification>& notification() const { return notification_; }
    const std::string& actionIdentifier() const { return action_; }
    std::string className() const override { return "UNNotificationResponse"; }

private:
    std::shared_ptr<UNNotification> notification_;
    std::string action_;
};

class UNNotificationSettings : public Object {
public:
    UNAuthorizationStatus authorizationStatus = UNAuthorizationStatus::NotDetermined;
    UNAuthorizationOptions options = 0;
    std::string className() const override { return "UNNotificationSettings"; }
};

class UNUserNotificationCenter : public Object {
public:
    static std::shared_ptr<UNUserNotificationCenter> currentNotificationCenter();

    ObjectPtr delegate() const;
    // Held weakly; observers hear of the change (old, new) after it.
    void setDelegate(const ObjectPtr& delegate);
    using DelegateObserver = std::function<void(const ObjectPtr& oldDelegate, const ObjectPtr& newDelegate)>;
    uint64_t addDelegateObserver(DelegateObserver observer);
    void removeDelegateObserver(uint64_t token);

    using AuthorizationCompletion = std::function<void(bool granted, ErrorRef error)>;
    // The first request asks the person (setUserAnswer); later ones answer
    // with the decision already taken. The completion runs on a global
    // queue.
    void requestAuthorizationWithOptions(UNAuthorizationOptions options, AuthorizationCompletion completion);
    // The answer the person gives to the next first request.
    void setUserAnswer(bool grant);
    std::shared_ptr<UNNotificationSettings> notificationSettings() const;
    // The options of every request so far, in order.
    std::vector<UNAuthorizationOptions> requestedOptions() const;

    // A notification arriving while the application is in front: the
    // delegate (when it answers) chooses the presentation options through
    // the completion handler; presented ones (options not empty) are kept.
    // Without a delegate nothing is presented.
    void deliver(const std::shared_ptr<UNNotification>& notification);
    std::vector<std::shared_ptr<UNNotification>> presentedNotifications() const;
    // The person opened a notification: the delegate's response callback.
    void respond(const std::shared_ptr<UNNotificationResponse>& response, std::function<void()> completion = {});

    // Forgets the delegate, the decision and the records (tests).
    void resetForTesting();

    std::string className() const override { return "UNUserNotificationCenter"; }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<Object> delegate_;
    std::vector<std::pair<uint64_t, DelegateObserver>> observers_;
    uint64_t nextObserver_ = 1;
    bool answer_ = true;
    std::shared_ptr<UNNotificationSettings> settings_ = std::make_shared<UNNotificationSettings>();
    std::vector<UNAuthorizationOptions> requested_;
    std::vector<std::shared_ptr<UNNotification>> presented_;
};

// The operating system's side of a remote notification reaching the
// running application: when the application is active and the payload
// carries an alert ("aps" -> "alert"), the notification centre's delegate
// decides whether to present it (UNUserNotificationCenter::deliver); then
// the application delegate receives the payload
// (Application::deliverRemoteNotification). Main thread only.
void receiveRemoteNotification(const Dictionary& payload, std::function<void(int64_t fetchResult)> completion = {});

// Takes the payloads the push gateway holds for the device token of the
// last registration and receives each, oldest first. The completion (main
// queue) gets how many arrived, or an error: the gateway's, or one in
// kCocoaErrorDomain / kRemoteNotificationRegistrationError when the
// application has not registered for remote notifications.
void fetchRemoteNotifications(std::function<void(size_t count, ErrorRef error)> completion);

// The pre-10 settings object, passed to
// Application::registerUserNotificationSettings.
using UIUserNotificationType = uint64_t;
inline constexpr UIUserNotificationType UIUserNotificationTypeBadge = 1 << 0;
inline constexpr UIUserNotificationType UIUserNotificationTypeSound = 1 << 1;
inline constexpr UIUserNotificationType UIUserNotificationTypeAlert = 1 << 2;

class UIUserNotificationSettings : public Object {
public:
    UIUserNotificationSettings(UIUserNotificationType types, Array categories)
        : types_(types), categories_(std::move(categories)) {}
    static std::shared_ptr<UIUserNotificationSettings> settingsForTypes(UIUserNotificationType types,
                                                                        Array categories = {}) {
        return std::make_shared<UIUserNotificationSettings>(types, std::move(categories));
    }
    UIUserNotificationType types() const { return types_; }
    const Array& categories() const { return categories_; }
    std::string className() const override { return "UIUserNotificationSettings"; }

private:
    UIUserNotificationType types_;
    Array categories_;
};

// UILocalNotification, the pre-10 local notification: filled in by the
// caller and scheduled with the shared application
// (scheduleLocalNotification, UIApplication's scheduleLocalNotification:).
// It fires at fireDate on ns::Clock (at once when that has passed): it
// leaves the scheduled list for the fired one, and while the application is
// active its delegate gets "application:didReceiveLocalNotification:". Main
// thread only.
class UILocalNotification : public Object {
public:
    Date fireDate;
    std::string timeZone;  // a zone name; empty: the device's
    std::string alertBody;
    std::string alertTitle;
    std::string soundName;
    int64_t applicationIconBadgeNumber = 0;
    std::string category;
    Dictionary userInfo;
    std::string className() const override { return "UILocalNotification"; }
};

void scheduleLocalNotification(const std::shared_ptr<UILocalNotification>& notification);
// Waiting to fire, in the order scheduled.
std::vector<std::shared_ptr<UILocalNotification>> scheduledLocalNotifications();
// Fired, oldest first.
std::vector<std::shared_ptr<UILocalNotification>> firedLocalNotifications();
// Drops the scheduled ones (they never fire) and forgets the fired ones.
void cancelAllLocalNotifications();

}  // namespace ns
