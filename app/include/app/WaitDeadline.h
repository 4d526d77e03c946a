#pragma once
// How long a screen may keep the user waiting for an answer with its overlay
// up and touches ignored. A server that stops answering without closing the
// connection (a dead network path, a stopped process) gives the database
// nothing to fail with, so a read waits for ever, and the HTTP clients wait
// a minute or more; the user could do nothing meanwhile. So every such wait
// has a deadline:
//
//   auto wait = WaitDeadline::start([failed] { failed(WaitDeadline::timedOutError()); });
//   request(..., wait->guard(onAnswer), wait->guard(failed));
//
// `start` arms the deadline and returns the wait's token. After
// kWaitDeadlineSeconds, unless the answer came first, the time-out block runs:
// it takes the request's own failure road (most screens call their failure
// or cancel block with the timed-out error), so a wait that times out ends
// exactly as a failed request would. Whichever comes first, the answer or
// the time-out, ends the wait; the other is dropped, so an answer that comes
// after the time-out pushes no screen, shows no second alert and changes
// nothing.
//
// The deadline is a main-queue `after`, on ns::Clock (tests advance a
// virtual clock). Main thread only (checked in Debug), as the screens and
// the completions they guard are; a guarded completion must be called there.

#include <functional>
#include <memory>
#include <utility>

#include "platform/error.h"

namespace almavel {

inline constexpr double kWaitDeadlineSeconds = 20;

class WaitDeadline : public std::enable_shared_from_this<WaitDeadline> {
public:
    using Ptr = std::shared_ptr<WaitDeadline>;

    // Arms the deadline of a wait that has just begun. The block runs on the
    // main queue after `seconds` unless the wait ended first; it is kept
    // (with what it holds) until then.
    static Ptr start(std::function<void()> onTimeout, double seconds = kWaitDeadlineSeconds);

    // Ends the wait: true for the first of the answer and the time-out (the
    // caller goes on), false once the wait has ended (the caller drops what
    // it brought).
    bool end();
    bool isLive() const;

    // `completion` behind this wait's token: it runs only when it is the
    // first to end the wait, and is dropped whole after the time-out. The
    // result takes exactly the arguments `completion` takes, so overloads
    // by block shape still choose.
    template <class Completion>
    auto guard(Completion completion) {
        return [wait = shared_from_this(), completion = std::move(completion)](auto&&... args)
                   -> decltype(std::declval<const Completion&>()(std::forward<decltype(args)>(args)...), void()) {
            if (wait->end()) completion(std::forward<decltype(args)>(args)...);
        };
    }

    // What a timed-out wait hands to the failure road in place of the
    // request's own error: the URL loading system's time-out
    // (NSURLErrorDomain, kURLErrorTimedOut), described in the phone's
    // language.
    static ns::ErrorRef timedOutError();

private:
    WaitDeadline() = default;
    bool live_ = true;
};

}  // namespace almavel
