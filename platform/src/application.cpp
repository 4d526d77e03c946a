#include "platform/application.h"

#include "platform/error.h"
#include "platform/format.h"
#include "platform/notification_center.h"
#include "platform/runloop.h"
#include "platform/runtime.h"

namespace ns {

std::shared_ptr<Application> Application::shared() {
    static std::shared_ptr<Application> instance(new Application());
    return instance;
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

void Application::resetForTesting() {
    std::lock_guard lock(mutex_);
    delegate_.reset();
    state_ = State::Inactive;
    launched_ = false;
}

}  // namespace ns
