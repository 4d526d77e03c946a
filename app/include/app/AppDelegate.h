#pragma once
// The application delegate: starts the SDK at launch, makes itself the
// messaging delegate, asks for notification permission and registers for
// remote notifications, and writes every notification and token it gets to
// the console (AppConsole).
//
// UIKit reaches it only through the runtime's method table: the class is
// registered as "AppDelegate" (a load hook) with every callback under its
// selector, so the messaging proxy can exchange them. The C++ methods below
// are those callbacks' bodies. Main thread only, like UIKit; the
// authorisation completion alone runs elsewhere and does nothing.

#include <functional>
#include <memory>
#include <string>

#include "messaging/QRVMessagingDelegate.h"
#include "platform/error.h"
#include "platform/value.h"
#include "uikit/UIWindow.h"
#include "uikit/UserNotifications.h"

namespace almavel {

class AppDelegate : public ns::Object, public QRVMessagingDelegate {
public:
    // The key of a notification payload's message id.
    static constexpr const char* kdxMessageIDKey = "kdx.message_id";

    std::shared_ptr<ns::UIWindow> window;

    bool applicationDidFinishLaunchingWithOptions(const ns::Dictionary& launchOptions);
    void applicationDidReceiveRemoteNotification(const ns::Dictionary& userInfo);
    // Answers UIBackgroundFetchResultNewData, whatever the payload.
    void applicationDidReceiveRemoteNotification(const ns::Dictionary& userInfo,
                                                 const std::function<void(int64_t result)>& completionHandler);
    void applicationDidRegisterForRemoteNotificationsWithDeviceToken(const ns::Data& deviceToken);
    void applicationDidFailToRegisterForRemoteNotificationsWithError(const ns::ErrorRef& error);

    // Notification centre: nothing is presented while the app is in front.
    void userNotificationCenterWillPresentNotification(
        const std::shared_ptr<ns::UNNotification>& notification,
        const std::function<void(ns::UNNotificationPresentationOptions)>& completionHandler);
    void userNotificationCenterDidReceiveNotificationResponse(const std::shared_ptr<ns::UNNotificationResponse>& response,
                                                              const std::function<void()>& completionHandler);

    // Messaging.
    void messagingDidRefreshRegistrationToken(const std::shared_ptr<QRVMessaging>& messaging,
                                              const std::string& token) override;
    void messagingDidReceiveMessage(const std::shared_ptr<QRVMessaging>& messaging,
                                    const std::shared_ptr<QRVMessagingRemoteMessage>& remoteMessage) override;

    // The payload log of the four notification callbacks.
    void logPayload(const ns::Dictionary& userInfo) const;

    std::string className() const override { return "AppDelegate"; }

    // The runtime class (also done by the load hook; tests that reset the
    // runtime's view of it may call it again).
    static void registerClass();
};

}  // namespace almavel
