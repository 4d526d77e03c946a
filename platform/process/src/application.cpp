#include "platform/application.h"

#include <algorithm>

#include "platform/block_object.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/notification_center.h"
#include "platform/push_gateway.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"
#include "platform/system_log.h"

namespace ns {

std::shared_ptr<Application> Application::shared() {
    static ns::NoDestructor<std::shared_ptr<Application>> instance(new Application());
    return *instance;
}

ObjectPtr Application::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void Application::setDelegate(ObjectPtr delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

Application::State Application::applicationState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

Value Application::sendToDelegate(std::string_view selector, std::vector<Value> args) {
    ObjectPtr target = delegate();
    if (!target || !Runtime::respondsTo(*target, selector)) return Value();
    args.insert(args.begin(), Value(shared_from_this()));
    return Runtime::send(*target, selector, args);
}

void Application::transition(State to, const char* selector, const char* notification) {
    {
        std::lock_guard lock(mutex_);
        if (!launched_ || state_ == to) return;
        state_ = to;
    }
    sendToDelegate(selector);
    NotificationCenter::defaultCenter().post(notification, shared_from_this());
}

bool Application::finishLaunching(Dictionary launchOptions) {
    {
        std::lock_guard lock(mutex_);
        if (launched_) return false;
        launched_ = true;
        state_ = State::Inactive;
    }
    Value answer = sendToDelegate("application:didFinishLaunchingWithOptions:", {Value(launchOptions)});
    NotificationCenter::defaultCenter().post(kUIApplicationDidFinishLaunchingNotification, shared_from_this(),
                                             std::move(launchOptions));
    // A delegate without the method, or one answering nothing, launches fine.
    return answer.isBool() ? answer.asBool() : true;
}

void Application::becomeActive() {
    transition(State::Active, "applicationDidBecomeActive:", kUIApplicationDidBecomeActiveNotification);
}

void Application::resignActive() {
    if (applicationState() != State::Active) return;
    transition(State::Inactive, "applicationWillResignActive:", kUIApplicationWillResignActiveNotification);
}

void Application::enterBackground() {
    resignActive();
    transition(State::Background, "applicationDidEnterBackground:", kUIApplicationDidEnterBackgroundNotification);
}

void Application::enterForeground() {
    if (applicationState() != State::Background) return;
    transition(State::Inactive, "applicationWillEnterForeground:", kUIApplicationWillEnterForegroundNotification);
}

void Application::terminate() {
    sendToDelegate("applicationWillTerminate:");
    NotificationCenter::defaultCenter().post(kUIApplicationWillTerminateNotification, shared_from_this());
    RunLoop::main().stop();
}

int Application::main(int, char**, const std::string& delegateClassName) {
    Value made = Runtime::sendClass(delegateClassName, "new");
    if (!made.isObject()) {
        Exception::raise(kInternalInconsistencyException,
                         format("Unable to instantiate the UIApplication delegate instance. No class named %@ is loaded.",
                                delegateClassName));
    }
    auto app = shared();
    app->setDelegate(made.asObject());
    app->finishLaunching();
    app->becomeActive();
    RunLoop::main().run();
    return 0;
}

void Application::beginIgnoringInteractionEvents() {
    std::lock_guard lock(mutex_);
    ++ignoringInteraction_;
}

void Application::endIgnoringInteractionEvents() {
    {
        std::lock_guard lock(mutex_);
        if (ignoringInteraction_ > 0) {
            --ignoringInteraction_;
            return;
        }
    }
    // Unbalanced: letting the count go negative would make the next begin a
    // no-op and leave input open while a request runs.
    SystemLog::write(SystemLog::kWarning, "-[UIApplication endIgnoringInteractionEvents] called without a matching "
                                              "-beginIgnoringInteractionEvents; ignored.");
}

bool Application::isIgnoringInteractionEvents() const {
    std::lock_guard lock(mutex_);
    return ignoringInteraction_ > 0;
}

int Application::ignoringInteractionEventsCount() const {
    std::lock_guard lock(mutex_);
    return ignoringInteraction_;
}

ObjectPtr Application::keyWindow() const {
    std::lock_guard lock(mutex_);
    return keyWindow_.lock();
}

void Application::setKeyWindow(const ObjectPtr& window) {
    std::lock_guard lock(mutex_);
    keyWindow_ = window;
}

void Application::registerForRemoteNotifications() {
    auto self = std::static_pointer_cast<Application>(shared_from_this());
    const std::string bundleId = Bundle::mainBundle()->bundleIdentifier();
    const std::string deviceId = Sandbox::current()->deviceProfile().identifierForVendor;
    PushGateway::registerDevice(bundleId, deviceId, "sandbox", DispatchQueue::main(),
                                [self](Data token, ErrorRef error) {
                                    if (error) {
                                        self->sendToDelegate("application:didFailToRegisterForRemoteNotificationsWithError:",
                                                             {Value(std::const_pointer_cast<Error>(error))});
                                        return;
                                    }
                                    {
                                        std::lock_guard lock(self->mutex_);
                                        self->deviceToken_ = token;
                                    }
                                    self->sendToDelegate("application:didRegisterForRemoteNotificationsWithDeviceToken:",
                                                         {Value(token)});
                                });
}

bool Application::isRegisteredForRemoteNotifications() const {
    std::lock_guard lock(mutex_);
    return !deviceToken_.empty();
}

Data Application::deviceToken() const {
    std::lock_guard lock(mutex_);
    return deviceToken_;
}

void Application::registerUserNotificationSettings(const ObjectPtr& settings) {
    {
        std::lock_guard lock(mutex_);
        notificationSettings_ = settings;
    }
    auto self = std::static_pointer_cast<Application>(shared_from_this());
    DispatchQueue::main()->async(
        [self, settings] { self->sendToDelegate("application:didRegisterUserNotificationSettings:", {Value(settings)}); });
}

ObjectPtr Application::currentUserNotificationSettings() const {
    std::lock_guard lock(mutex_);
    return notificationSettings_;
}

void Application::deliverRemoteNotification(const Dictionary& payload, std::function<void(int64_t)> completion) {
    ObjectPtr target = delegate();
    if (target && Runtime::respondsTo(*target, "application:didReceiveRemoteNotification:fetchCompletionHandler:")) {
        // The handler may be called late or never; it reports at most once.
        auto answered = std::make_shared<bool>(false);
        auto handler = BlockObject::makeVoid([answered, completion](const std::vector<Value>& args) {
            if (*answered) return;
            *answered = true;
            const int64_t result = !args.empty() && args[0].isNumber() ? args[0].asInt() : kBackgroundFetchNoData;
            if (completion) completion(result);
        });
        sendToDelegate("application:didReceiveRemoteNotification:fetchCompletionHandler:",
                       {Value(payload), Value(std::static_pointer_cast<Object>(handler))});
        return;
    }
    sendToDelegate("application:didReceiveRemoteNotification:", {Value(payload)});
    if (completion) completion(kBackgroundFetchNoData);
}

namespace {

bool delegateAnswer(const Value& answer) { return answer.isBool() ? answer.asBool() : answer.intValue() != 0; }

Value optionOrNull(const Dictionary& options, const char* key) {
    auto it = options.find(key);
    return it == options.end() ? Value() : it->second;
}

}  // namespace

bool Application::openURL(const std::string& url, const Dictionary& options) {
    dispatchAssertQueue(DispatchQueue::main());
    ObjectPtr target = delegate();
    if (!target) return false;
    if (Runtime::respondsTo(*target, "application:openURL:options:")) {
        return delegateAnswer(sendToDelegate("application:openURL:options:", {Value(url), Value(options)}));
    }
    if (Runtime::respondsTo(*target, "application:openURL:sourceApplication:annotation:")) {
        return delegateAnswer(sendToDelegate(
            "application:openURL:sourceApplication:annotation:",
            {Value(url), optionOrNull(options, "UIApplicationOpenURLOptionsSourceApplicationKey"),
             optionOrNull(options, "UIApplicationOpenURLOptionsAnnotationKey")}));
    }
    return delegateAnswer(sendToDelegate("application:handleOpenURL:", {Value(url)}));
}

bool Application::continueUserActivity(const ObjectPtr& activity) {
    dispatchAssertQueue(DispatchQueue::main());
    // The system hands a handler for the objects to restore; nothing here
    // restores any, so it only has to be callable.
    auto handler = BlockObject::makeVoid([](const std::vector<Value>&) {});
    return delegateAnswer(sendToDelegate("application:continueUserActivity:restorationHandler:",
                                         {Value(activity), Value(std::static_pointer_cast<Object>(handler))}));
}

void Application::resetForTesting() {
    std::lock_guard lock(mutex_);
    delegate_.reset();
    state_ = State::Inactive;
    launched_ = false;
    ignoringInteraction_ = 0;
    keyWindow_.reset();
    deviceToken_.clear();
    notificationSettings_.reset();
    backgroundTasks_.clear();
}

// MARK: - Background tasks

uint64_t Application::beginBackgroundTaskWithName(const std::string& name, std::function<void()> expirationHandler) {
    uint64_t identifier = 0;
    {
        std::lock_guard lock(mutex_);
        identifier = nextBackgroundTask_++;
        backgroundTasks_.push_back({identifier, name, std::move(expirationHandler)});
    }
    std::weak_ptr<Application> weak = std::static_pointer_cast<Application>(shared_from_this());
    DispatchQueue::main()->after(kUIBackgroundTaskTimeAllowance, [weak, identifier] {
        if (auto app = weak.lock()) app->expireBackgroundTask(identifier);
    });
    return identifier;
}

void Application::endBackgroundTask(uint64_t identifier) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(backgroundTasks_.begin(), backgroundTasks_.end(),
                              [identifier](const BackgroundTask& task) { return task.identifier == identifier; });
    if (found == backgroundTasks_.end()) {
        SystemLog::write(SystemLog::kWarning,
                         format("Can't end BackgroundTask: no background task exists with identifier %@", identifier));
        return;
    }
    backgroundTasks_.erase(found);
}

std::vector<std::string> Application::backgroundTaskNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& task : backgroundTasks_) names.push_back(task.name);
    return names;
}

// Main queue: the handler may end the task itself (usually through another
// thread's swap), so it runs without the lock; a task it leaves is ended
// after it, as the system ends the app's background time.
void Application::expireBackgroundTask(uint64_t identifier) {
    auto sameTask = [identifier](const BackgroundTask& task) { return task.identifier == identifier; };
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(backgroundTasks_.begin(), backgroundTasks_.end(), sameTask);
        if (found == backgroundTasks_.end()) return;  // ended in time
        handler = found->expirationHandler;
    }
    if (handler) handler();
    std::lock_guard lock(mutex_);
    std::erase_if(backgroundTasks_, sameTask);
}

namespace {

// The selectors parts reach the application by; the UIKit stand-in
// registers the same class with its superclass.
void registerApplicationClass() {
    auto& cls = Runtime::registerClass("UIApplication", "UIResponder");
    cls.addClassMethod("sharedApplication", [](Object*, const auto&) {
        return Value(std::static_pointer_cast<Object>(Application::shared()));
    });
    cls.addInstanceMethod("beginBackgroundTaskWithName:expirationHandler:",
                          [](Object* self, const std::vector<Value>& args) {
                              std::string name = !args.empty() && args[0].isString() ? args[0].asString() : "";
                              Value handler = args.size() > 1 ? args[1] : Value();
                              auto block = [handler] { BlockObject::call(handler); };
                              return Value(static_cast<Application*>(self)->beginBackgroundTaskWithName(name, block));
                          });
    cls.addInstanceMethod("endBackgroundTask:", [](Object* self, const std::vector<Value>& args) {
        if (!args.empty() && args[0].isInteger() && args[0].intValue() > 0) {
            static_cast<Application*>(self)->endBackgroundTask(uint64_t(args[0].intValue()));
        }
        return Value();
    });
}

}  // namespace

NS_REGISTER_LOAD_HOOK(0, "UIApplication", [] { registerApplicationClass(); });

}  // namespace ns
