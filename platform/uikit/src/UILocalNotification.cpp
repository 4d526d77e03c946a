#include <algorithm>
#include <mutex>

#include "platform/application.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "uikit/UserNotifications.h"

namespace ns {

namespace {

struct LocalNotifications {
    std::mutex mutex;
    std::vector<std::shared_ptr<UILocalNotification>> scheduled;
    std::vector<std::shared_ptr<UILocalNotification>> fired;
};

LocalNotifications& localNotifications() {
    static auto* state = new LocalNotifications();
    return *state;
}

// The delayed performs of the scheduled notifications are keyed by this, so
// cancelling drops them all.
const char kFireOwnerTag = 0;
const void* const kFireOwner = &kFireOwnerTag;

void fire(const std::shared_ptr<UILocalNotification>& notification) {
    auto& state = localNotifications();
    {
        std::lock_guard lock(state.mutex);
        auto it = std::find(state.scheduled.begin(), state.scheduled.end(), notification);
        if (it == state.scheduled.end()) return;
        state.scheduled.erase(it);
        state.fired.push_back(notification);
    }
    auto application = Application::shared();
    if (application->applicationState() == Application::State::Active) {
        application->sendToDelegate("application:didReceiveLocalNotification:",
                                    {Value(std::static_pointer_cast<Object>(notification))});
    }
}

}  // namespace

void scheduleLocalNotification(const std::shared_ptr<UILocalNotification>& notification) {
    if (!notification) return;
    {
        auto& state = localNotifications();
        std::lock_guard lock(state.mutex);
        state.scheduled.push_back(notification);
    }
    const double delay = std::max(0.0, notification->fireDate.secondsSince1970 - Clock::nowSeconds());
    RunLoop::main().performAfter(delay, kFireOwner, [notification] { fire(notification); });
}

std::vector<std::shared_ptr<UILocalNotification>> scheduledLocalNotifications() {
    auto& state = localNotifications();
    std::lock_guard lock(state.mutex);
    return state.scheduled;
}

std::vector<std::shared_ptr<UILocalNotification>> firedLocalNotifications() {
    auto& state = localNotifications();
    std::lock_guard lock(state.mutex);
    return state.fired;
}

void cancelAllLocalNotifications() {
    RunLoop::main().cancelPerforms(kFireOwner);
    auto& state = localNotifications();
    std::lock_guard lock(state.mutex);
    state.scheduled.clear();
    state.fired.clear();
}

}  // namespace ns
