#include "app/AppDelegate.h"

#include "app/AppConsole.h"
#include "core/QRVApp.h"
#include "messaging/QRVMessaging.h"
#include "platform/application.h"
#include "platform/block_object.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/runtime.h"

namespace almavel {

namespace {

constexpr ns::UNAuthorizationOptions kAuthOptions =
    ns::UNAuthorizationOptionBadge | ns::UNAuthorizationOptionSound | ns::UNAuthorizationOptionAlert;

// `[QRVMessaging messaging].delegate = self`, through the runtime: the
// messaging facade registers the class and takes a delegate that is a
// QRVMessagingDelegate. Without it in the program there is nobody to tell.
void becomeMessagingDelegate(const std::shared_ptr<AppDelegate>& self) {
    if (!ns::Runtime::lookUpClass("QRVMessaging")) return;
    auto cls = ns::Runtime::classObject("QRVMessaging");
    if (!ns::Runtime::respondsTo(*cls, "messaging")) return;
    auto messaging = ns::Runtime::sendClass("QRVMessaging", "messaging").asObject();
    if (messaging) ns::Runtime::send(*messaging, "setDelegate:", {ns::Value(std::static_pointer_cast<ns::Object>(self))});
}

AppDelegate& self(ns::Object* object) { return *static_cast<AppDelegate*>(object); }

}  // namespace

bool AppDelegate::applicationDidFinishLaunchingWithOptions(const ns::Dictionary&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    QRVApp::configure();
    becomeMessagingDelegate(std::static_pointer_cast<AppDelegate>(shared_from_this()));
    auto application = ns::Application::shared();
    if (ns::UIDevice::currentDevice()->systemMajorVersion() >= 10) {
        auto center = ns::UNUserNotificationCenter::currentNotificationCenter();
        center->setDelegate(shared_from_this());
        center->requestAuthorizationWithOptions(kAuthOptions, [](bool, ns::ErrorRef) {});
        application->registerForRemoteNotifications();
    } else {
        auto settings = ns::UIUserNotificationSettings::settingsForTypes(
            ns::UIUserNotificationTypeBadge | ns::UIUserNotificationTypeSound | ns::UIUserNotificationTypeAlert);
        application->registerUserNotificationSettings(settings);
        application->registerForRemoteNotifications();
    }
    return true;
}

void AppDelegate::logPayload(const ns::Dictionary& userInfo) const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (auto id = userInfo.find(kdxMessageIDKey); id != userInfo.end()) {
        AppConsole::write(ns::format("Message ID: %@", id->second));
    }
    AppConsole::write(ns::Value(userInfo).description());
}

void AppDelegate::applicationDidReceiveRemoteNotification(const ns::Dictionary& userInfo) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    logPayload(userInfo);
}

void AppDelegate::applicationDidReceiveRemoteNotification(const ns::Dictionary& userInfo,
                                                          const std::function<void(int64_t)>& completionHandler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    logPayload(userInfo);
    if (completionHandler) completionHandler(ns::Application::kBackgroundFetchNewData);
}

void AppDelegate::applicationDidRegisterForRemoteNotificationsWithDeviceToken(const ns::Data& deviceToken) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    // NSData's description of a token on the phone: its length in bytes.
    AppConsole::write(ns::format("APNs token retrieved: %zu bytes", deviceToken.size()));
}

void AppDelegate::applicationDidFailToRegisterForRemoteNotificationsWithError(const ns::ErrorRef& error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    AppConsole::write("Unable to register for remote notifications: " +
                      (error ? error->localizedDescription() : std::string()));
}

void AppDelegate::userNotificationCenterWillPresentNotification(
    const std::shared_ptr<ns::UNNotification>& notification,
    const std::function<void(ns::UNNotificationPresentationOptions)>& completionHandler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    logPayload(notification->request()->content()->userInfo);
    if (completionHandler) completionHandler(ns::UNNotificationPresentationOptionNone);
}

void AppDelegate::userNotificationCenterDidReceiveNotificationResponse(
    const std::shared_ptr<ns::UNNotificationResponse>& response, const std::function<void()>& completionHandler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    logPayload(response->notification()->request()->content()->userInfo);
    if (completionHandler) completionHandler();
}

void AppDelegate::messagingDidRefreshRegistrationToken(const std::shared_ptr<QRVMessaging>&, const std::string& token) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    AppConsole::write("Quorvane registration token: " + token);
}

void AppDelegate::messagingDidReceiveMessage(const std::shared_ptr<QRVMessaging>&,
                                             const std::shared_ptr<QRVMessagingRemoteMessage>& remoteMessage) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    AppConsole::write("Received data message: " + ns::Value(remoteMessage->appData()).description());
}

void AppDelegate::registerClass() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    using Args = std::vector<ns::Value>;
    auto& cls = ns::Runtime::registerClass("AppDelegate", "UIResponder");
    // Declared so that the messaging proxy takes its notification callbacks.
    cls.addProtocol("UIApplicationDelegate").addProtocol("UNUserNotificationCenterDelegate");
    cls.addClassMethod("new", [](ns::Object*, const Args&) {
        return ns::Value(std::static_pointer_cast<ns::Object>(std::make_shared<AppDelegate>()));
    });
    cls.addInstanceMethod("window", [](ns::Object* o, const Args&) {
        return ns::Value(std::static_pointer_cast<ns::Object>(self(o).window));
    });
    cls.addInstanceMethod("setWindow:", [](ns::Object* o, const Args& args) {
        self(o).window = args.at(0).asObjectOf<ns::UIWindow>();
        return ns::Value();
    });
    cls.addInstanceMethod("application:didFinishLaunchingWithOptions:", [](ns::Object* o, const Args& args) {
        const ns::Value options = args.size() > 1 ? args[1] : ns::Value();
        return ns::Value(self(o).applicationDidFinishLaunchingWithOptions(
            options.isDictionary() ? options.asDictionary() : ns::Dictionary{}));
    });
    for (const char* nothing : {"applicationWillResignActive:", "applicationDidEnterBackground:",
                                "applicationWillEnterForeground:", "applicationDidBecomeActive:",
                                "applicationWillTerminate:"}) {
        cls.addInstanceMethod(nothing, [](ns::Object*, const Args&) { return ns::Value(); });
    }
    cls.addInstanceMethod("application:didReceiveRemoteNotification:", [](ns::Object* o, const Args& args) {
        self(o).applicationDidReceiveRemoteNotification(args.at(1).asDictionary());
        return ns::Value();
    });
    cls.addInstanceMethod("application:didReceiveRemoteNotification:fetchCompletionHandler:",
                          [](ns::Object* o, const Args& args) {
                              const ns::Value handler = args.at(2);
                              self(o).applicationDidReceiveRemoteNotification(
                                  args.at(1).asDictionary(),
                                  [handler](int64_t result) { ns::BlockObject::call(handler, {ns::Value(result)}); });
                              return ns::Value();
                          });
    cls.addInstanceMethod("application:didRegisterForRemoteNotificationsWithDeviceToken:",
                          [](ns::Object* o, const Args& args) {
                              self(o).applicationDidRegisterForRemoteNotificationsWithDeviceToken(args.at(1).asData());
                              return ns::Value();
                          });
    cls.addInstanceMethod("application:didFailToRegisterForRemoteNotificationsWithError:",
                          [](ns::Object* o, const Args& args) {
                              self(o).applicationDidFailToRegisterForRemoteNotificationsWithError(
                                  args.at(1).asObjectOf<ns::Error>());
                              return ns::Value();
                          });
    cls.addInstanceMethod("userNotificationCenter:willPresentNotification:withCompletionHandler:",
                          [](ns::Object* o, const Args& args) {
                              const ns::Value handler = args.at(2);
                              self(o).userNotificationCenterWillPresentNotification(
                                  args.at(1).asObjectOf<ns::UNNotification>(),
                                  [handler](ns::UNNotificationPresentationOptions options) {
                                      ns::BlockObject::call(handler, {ns::Value(int64_t(options))});
                                  });
                              return ns::Value();
                          });
    cls.addInstanceMethod("userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:",
                          [](ns::Object* o, const Args& args) {
                              const ns::Value handler = args.at(2);
                              self(o).userNotificationCenterDidReceiveNotificationResponse(
                                  args.at(1).asObjectOf<ns::UNNotificationResponse>(),
                                  [handler] { ns::BlockObject::call(handler); });
                              return ns::Value();
                          });
    // The messaging delegate's methods, so that messaging sees which of the
    // optional ones the app implements.
    cls.addInstanceMethod("messaging:didRefreshRegistrationToken:", [](ns::Object* o, const Args& args) {
        self(o).messagingDidRefreshRegistrationToken(args.at(0).asObjectOf<QRVMessaging>(), args.at(1).asString());
        return ns::Value();
    });
    cls.addInstanceMethod("messaging:didReceiveMessage:", [](ns::Object* o, const Args& args) {
        self(o).messagingDidReceiveMessage(args.at(0).asObjectOf<QRVMessaging>(),
                                           args.at(1).asObjectOf<QRVMessagingRemoteMessage>());
        return ns::Value();
    });
}

NS_REGISTER_LOAD_HOOK(700, "AppDelegate", [] { AppDelegate::registerClass(); });

}  // namespace almavel
