#include "app/WaitDeadline.h"

#include "platform/dispatch.h"
#include "platform/http.h"

namespace almavel {

WaitDeadline::Ptr WaitDeadline::start(std::function<void()> onTimeout, double seconds) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    Ptr wait(new WaitDeadline());
    // Held strongly: a request whose completion is never called (the
    // connection hangs) must still have its wait ended.
    ns::DispatchQueue::main()->after(seconds, [wait, onTimeout = std::move(onTimeout)] {
        if (wait->end()) onTimeout();
    });
    return wait;
}

bool WaitDeadline::end() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!live_) return false;
    live_ = false;
    return true;
}

bool WaitDeadline::isLive() const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return live_;
}

ns::ErrorRef WaitDeadline::timedOutError() {
    return ns::URLError(ns::kURLErrorTimedOut);
}

}  // namespace almavel
