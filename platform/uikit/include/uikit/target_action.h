#pragma once
// Target-action, the way controls, bar button items and gesture recognisers
// call back into a screen. An action has a name (the selector, such as
// "logIn:") and is either
//   - a member function of a target held weakly: TargetAction::to(this,
//     "logIn:", &ViewController::logIn), where the target is an ns::Object
//     already owned by a shared_ptr (a screen once created);
//   - a selector sent through the runtime's method table:
//     TargetAction::selector(target, "logIn:"), so a method exchanged at run
//     time is what runs;
//   - a plain block: TargetAction::block("dismiss", [](const ObjectPtr&) {...}).
// A target that is gone makes the action do nothing, as a nil target would.
// Main thread only, like the rest of UIKit.

#include <functional>
#include <memory>
#include <string>

#include "platform/runtime.h"
#include "platform/value.h"

namespace ns {

class TargetAction {
public:
    using Invoke = std::function<void(const ObjectPtr& target, const ObjectPtr& sender)>;

    TargetAction() = default;

    template <class T>
    static TargetAction to(T* target, std::string name, void (T::*method)()) {
        return TargetAction(target->weak_from_this(), std::move(name), true,
                            [method](const ObjectPtr& t, const ObjectPtr&) { (static_cast<T*>(t.get())->*method)(); });
    }
    template <class T>
    static TargetAction to(T* target, std::string name, void (T::*method)(const ObjectPtr& sender)) {
        return TargetAction(target->weak_from_this(), std::move(name), true,
                            [method](const ObjectPtr& t, const ObjectPtr& sender) {
                                (static_cast<T*>(t.get())->*method)(sender);
                            });
    }
    static TargetAction selector(const ObjectPtr& target, std::string selector) {
        return TargetAction(target, selector, true, [selector](const ObjectPtr& t, const ObjectPtr& sender) {
            // One-argument selectors get the sender, as in UIKit.
            if (!selector.empty() && selector.back() == ':') {
                Runtime::send(*t, selector, {Value(sender)});
            } else {
                Runtime::send(*t, selector);
            }
        });
    }
    static TargetAction block(std::string name, std::function<void(const ObjectPtr& sender)> fn) {
        return TargetAction({}, std::move(name), false,
                            [fn = std::move(fn)](const ObjectPtr&, const ObjectPtr& sender) { fn(sender); });
    }

    const std::string& name() const { return name_; }
    // The target, when it has one and it is still alive.
    ObjectPtr target() const { return target_.lock(); }
    bool valid() const { return bool(invoke_); }

    // Runs the action; returns false when its target is gone.
    bool perform(const ObjectPtr& sender) const {
        if (!invoke_) return false;
        ObjectPtr target;
        if (hasTarget_) {
            target = target_.lock();
            if (!target) return false;
        }
        invoke_(target, sender);
        return true;
    }

private:
    TargetAction(std::weak_ptr<Object> target, std::string name, bool hasTarget, Invoke invoke)
        : target_(std::move(target)), name_(std::move(name)), hasTarget_(hasTarget), invoke_(std::move(invoke)) {}
    std::weak_ptr<Object> target_;
    std::string name_;
    bool hasTarget_ = false;
    Invoke invoke_;
};

}  // namespace ns
