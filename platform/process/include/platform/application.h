#pragma once
// UIApplication stand-in: the shared application object, its delegate and
// its life-cycle.
//
// Every call into the delegate goes through the runtime's method table
// (Runtime::send with the delegate's class name), never through a C++
// virtual, so that a proxy can exchange the delegate's methods at run time
// without the callers knowing. A delegate class registers its callbacks as
// instance methods under their selector names, for example
// "application:didFinishLaunchingWithOptions:".
//
// It also keeps what UIKit asks of the application as a whole: the nesting
// count of ignored interaction events (the UIKit stand-in refuses input while
// it is above zero), the key window (set by UIWindow, kept weakly) and the
// registration for remote notifications, answered by the push gateway
// (platform/push_gateway.h) through the delegate's
// "application:didRegisterForRemoteNotificationsWithDeviceToken:" or
// "application:didFailToRegisterForRemoteNotificationsWithError:".

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

namespace ns {

inline constexpr const char* kUIApplicationDidFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* kUIApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kUIApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kUIApplicationDidEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kUIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kUIApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";

// What beginBackgroundTaskWithName answers when no task could be begun, and
// what holders of no task keep.
inline constexpr uint64_t kUIBackgroundTaskInvalid = 0;
// The time a background task may run, on ns::Clock, before its expiration
// handler is called.
inline constexpr double kUIBackgroundTaskTimeAllowance = 30;

class Application : public Object {
public:
    enum class State { Active = 0, Inactive = 1, Background = 2 };

    // The one application object of the process.
    static std::shared_ptr<Application> shared();

    // UIApplicationMain: makes the delegate by sending "new" to the class
    // registered under `delegateClassName`, launches (didFinishLaunching),
    // becomes active and runs the main run loop until terminate(). Returns
    // the program's exit status. Raises when the class cannot make a delegate.
    static int main(int argc, char** argv, const std::string& delegateClassName);

    ObjectPtr delegate() const;
    void setDelegate(ObjectPtr delegate);

    State applicationState() const;

    // Sends `selector` to the delegate with the application as first
    // argument followed by `args`, when the delegate answers it. Returns the
    // method's result, or a null Value when there is no delegate or it does
    // not answer. Main thread only.
    Value sendToDelegate(std::string_view selector, std::vector<Value> args = {});

    // The life-cycle, as the operating system would drive it: each posts its
    // notification (with the application as sender) after calling the
    // delegate's method. Main thread only; calls that would not change the
    // state do nothing.
    bool finishLaunching(Dictionary launchOptions = {});
    void becomeActive();
    void resignActive();
    void enterBackground();
    void enterForeground();
    // Ends the main loop started by main() after applicationWillTerminate:.
    void terminate();

    // Input: while the count is above zero the UIKit stand-in refuses taps and
    // typing. end below zero is a caller's mistake: it is logged and ignored.
    // Main thread only.
    void beginIgnoringInteractionEvents();
    void endIgnoringInteractionEvents();
    bool isIgnoringInteractionEvents() const;
    int ignoringInteractionEventsCount() const;

    // The window that receives input (a UIWindow of the UIKit stand-in), held
    // weakly; nullptr when none was made key or it is gone.
    ObjectPtr keyWindow() const;
    void setKeyWindow(const ObjectPtr& window);

    // Asks the push gateway for this device's token (bundle identifier and
    // identifierForVendor of the device profile) and answers on the main
    // queue through the delegate. Main thread only.
    void registerForRemoteNotifications();

    // Background tasks: work the app asks to finish after it leaves the
    // foreground. A task has kUIBackgroundTaskTimeAllowance seconds of
    // ns::Clock time from its beginning (a virtual clock in tests); when they
    // run out its expiration handler is called on the main queue, and a task
    // the handler does not end is ended then, as the system would. Reachable
    // by the runtime as "beginBackgroundTaskWithName:expirationHandler:" (a
    // string and an ns::BlockObject, answering the identifier) and
    // "endBackgroundTask:" on the "UIApplication" class. Any thread.
    uint64_t beginBackgroundTaskWithName(const std::string& name, std::function<void()> expirationHandler);
    // Ending a task twice, or one never begun, is logged and ignored.
    void endBackgroundTask(uint64_t identifier);
    // The names of the tasks begun and not yet ended, oldest first.
    std::vector<std::string> backgroundTaskNames() const;
    bool isRegisteredForRemoteNotifications() const;
    // The token of the last successful registration; empty before.
    Data deviceToken() const;
    // The pre-10 road: keeps the settings object (a UIUserNotificationSettings)
    // and tells the delegate through
    // "application:didRegisterUserNotificationSettings:" on the main queue.
    void registerUserNotificationSettings(const ObjectPtr& settings);
    ObjectPtr currentUserNotificationSettings() const;

    // A remote notification reaching the running application: sends
    // "application:didReceiveRemoteNotification:fetchCompletionHandler:" (the
    // handler an ns::BlockObject taking a UIBackgroundFetchResult) when the
    // delegate answers it, else "application:didReceiveRemoteNotification:".
    // `completion` gets the result the delegate gave (kBackgroundFetchNoData
    // when it gave none or answers only the plain form). Main thread only.
    enum BackgroundFetchResult : int64_t { kBackgroundFetchNewData = 0, kBackgroundFetchNoData = 1, kBackgroundFetchFailed = 2 };
    void deliverRemoteNotification(const Dictionary& payload, std::function<void(int64_t result)> completion = {});

    // A URL the app is asked to open (a link, another app), delivered as the
    // system does: "application:openURL:options:" with the URL's absolute
    // string and the options when the delegate answers it, else
    // "application:openURL:sourceApplication:annotation:" (the options'
    // "UIApplicationOpenURLOptionsSourceApplicationKey" and
    // "UIApplicationOpenURLOptionsAnnotationKey"), else
    // "application:handleOpenURL:". Returns the delegate's answer (false when
    // none). Main thread only.
    bool openURL(const std::string& url, const Dictionary& options = {});
    // An activity continued from elsewhere (a universal link):
    // "application:continueUserActivity:restorationHandler:" with the
    // activity and a restoration handler block. Returns the delegate's
    // answer (false when it does not answer). Main thread only.
    bool continueUserActivity(const ObjectPtr& activity);

    std::string className() const override { return "UIApplication"; }

    // Forgets the delegate and returns to the not-launched state.
    void resetForTesting();

private:
    void transition(State to, const char* selector, const char* notification);
    mutable std::mutex mutex_;
    ObjectPtr delegate_;
    State state_ = State::Inactive;
    bool launched_ = false;
    int ignoringInteraction_ = 0;
    std::weak_ptr<Object> keyWindow_;
    Data deviceToken_;
    ObjectPtr notificationSettings_;
    void expireBackgroundTask(uint64_t identifier);
    struct BackgroundTask {
        uint64_t identifier;
        std::string name;
        std::function<void()> expirationHandler;
    };
    std::vector<BackgroundTask> backgroundTasks_;
    uint64_t nextBackgroundTask_ = 1;
};

}  // namespace ns
