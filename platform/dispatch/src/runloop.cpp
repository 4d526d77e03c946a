#include "platform/runloop.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "executor_impl.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/thread_owned.h"

namespace ns {

namespace {

std::atomic<std::thread::id>& mainThreadId() {
    static std::atomic<std::thread::id> id{};
    return id;
}

// A runUntil with a done() condition looks at it at least this often, since
// the condition may watch state other threads change without waking us.
constexpr auto kConditionPollInterval = std::chrono::milliseconds(5);

}  // namespace

struct RunLoop::Impl {
    struct DelayedPerform {
        const void* owner;
        bool finished = false;  // ran or cancelled
        uint64_t entry = 0;
    };

    const bool isMain;
    const std::thread::id owner;  // unused for the main loop: see mainThreadId()

    mutable std::mutex mutex;
    std::condition_variable cv;
    std::deque<Block> items;
    int runDepth = 0;      // run / runUntil / runFor invocations in progress
    std::atomic<int> activeDepth{0};  // the above plus runOnce
    bool stopRequested = false;
    uint64_t wakeups = 0;
    std::multimap<const void*, std::shared_ptr<DelayedPerform>> performs;

    Impl(bool main, std::thread::id ownerThread) : isMain(main), owner(ownerThread) {}
};

RunLoop::RunLoop(Passkey, std::string label, bool isMain)
    : label_(std::move(label)), impl_(std::make_unique<Impl>(isMain, std::this_thread::get_id())) {}

RunLoop::~RunLoop() {
    for (auto& [owner, request] : impl_->performs)
        if (request->entry) detail::Scheduler::instance().cancel(request->entry);
}

// ---------------------------------------------------------------- threads

void RunLoop::bindMainThread() {
    std::thread::id none{};
    auto self = std::this_thread::get_id();
    if (mainThreadId().compare_exchange_strong(none, self)) return;
    if (none != self)
        Exception::raise(kInternalInconsistencyException, "the main thread is already bound to another thread");
}

bool RunLoop::isMainThread() { return mainThreadId().load() == std::this_thread::get_id(); }

struct RunLoopAccess {
    static std::shared_ptr<RunLoop> makeMain() {
        return std::make_shared<RunLoop>(RunLoop::Passkey{}, "com.apple.main-thread", true);
    }
    static std::shared_ptr<RunLoop> makeThreadLoop() {
        static std::atomic<unsigned> counter{0};
        return std::make_shared<RunLoop>(RunLoop::Passkey{}, format("runloop.%u", ++counter), false);
    }
};

namespace detail {

std::shared_ptr<RunLoop> mainLoopUnboundShared() {
    // Never destroyed: blocks may be posted to it during exit.
    static auto* loop = new std::shared_ptr<RunLoop>(RunLoopAccess::makeMain());
    return *loop;
}

RunLoop& mainLoopUnbound() { return *mainLoopUnboundShared(); }

}  // namespace detail

std::shared_ptr<RunLoop> RunLoop::mainShared() {
    std::thread::id none{};
    mainThreadId().compare_exchange_strong(none, std::this_thread::get_id());
    return detail::mainLoopUnboundShared();
}

RunLoop& RunLoop::main() { return *mainShared(); }

std::shared_ptr<RunLoop> RunLoop::currentShared() {
    if (isMainThread()) return detail::mainLoopUnboundShared();
    thread_local std::shared_ptr<RunLoop>* kept = nullptr;
    std::shared_ptr<RunLoop>& loop = threadOwned(kept);
    if (!loop) loop = RunLoopAccess::makeThreadLoop();
    return loop;
}

RunLoop& RunLoop::current() { return *currentShared(); }

bool RunLoop::isCurrent() const {
    return impl_->isMain ? isMainThread() : impl_->owner == std::this_thread::get_id();
}

bool RunLoop::isRunning() const { return impl_->activeDepth.load() > 0; }

// ---------------------------------------------------------------- work

void RunLoop::perform(Block block) {
    if (!block) Exception::raise(kInvalidArgumentException, "RunLoop::perform needs a block");
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->items.push_back(std::move(block));
    }
    impl_->cv.notify_all();
}

void RunLoop::wakeUp() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        ++impl_->wakeups;
    }
    impl_->cv.notify_all();
}

void RunLoop::performAfter(double delaySeconds, const void* owner, Block block) {
    if (!block) Exception::raise(kInvalidArgumentException, "RunLoop::performAfter needs a block");
    if (std::isnan(delaySeconds)) Exception::raise(kInvalidArgumentException, "RunLoop::performAfter needs a delay");
    auto request = std::make_shared<Impl::DelayedPerform>();
    request->owner = owner;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->performs.emplace(owner, request);
    }
    std::weak_ptr<RunLoop> weak = shared_from_this();
    uint64_t entry = detail::Scheduler::instance().schedule(
        Clock::nowSeconds() + std::max(delaySeconds, 0.0), detail::Target::onLoop(weak),
        [weak, request, block = std::move(block)](double) {
            auto self = weak.lock();
            if (!self) return;
            {
                std::lock_guard<std::mutex> lock(self->impl_->mutex);
                if (request->finished) return;  // cancelled after it came due
                request->finished = true;
                auto range = self->impl_->performs.equal_range(request->owner);
                for (auto it = range.first; it != range.second; ++it) {
                    if (it->second == request) {
                        self->impl_->performs.erase(it);
                        break;
                    }
                }
            }
            block();
        });
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!request->finished) request->entry = entry;
}

void RunLoop::cancelPerforms(const void* owner) {
    std::vector<uint64_t> entries;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        auto range = impl_->performs.equal_range(owner);
        for (auto it = range.first; it != range.second; ++it) {
            it->second->finished = true;
            if (it->second->entry) entries.push_back(it->second->entry);
        }
        impl_->performs.erase(range.first, range.second);
    }
    // Outside the lock: dropping the work destroys the caller's captures.
    for (auto id : entries) detail::Scheduler::instance().cancel(id);
}

// ---------------------------------------------------------------- running

namespace {

struct ActiveScope {
    RunLoop::Impl& impl;
    bool counted;
    ActiveScope(RunLoop::Impl& i, bool countsForStop) : impl(i), counted(countsForStop) {
        impl.activeDepth.fetch_add(1);
        if (counted) {
            std::lock_guard<std::mutex> lock(impl.mutex);
            ++impl.runDepth;
        }
    }
    ~ActiveScope() {
        if (counted) {
            std::lock_guard<std::mutex> lock(impl.mutex);
            if (--impl.runDepth == 0) impl.stopRequested = false;
        }
        impl.activeDepth.fetch_sub(1);
    }
};

void requireOwner(const RunLoop& loop, bool isMain) {
    if (isMain) {
        // Running the main loop binds the main thread if nobody has.
        std::thread::id none{};
        mainThreadId().compare_exchange_strong(none, std::this_thread::get_id());
    }
    if (!loop.isCurrent())
        Exception::raise(kInternalInconsistencyException,
                         format("run loop %@ can only be run by its own thread", loop.label()));
}

}  // namespace

bool RunLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    requireOwner(*this, impl_->isMain);
    ActiveScope scope(*impl_, true);
    using clock = std::chrono::steady_clock;
    const bool limited = timeoutSeconds >= 0 && !std::isnan(timeoutSeconds);
    const auto deadline = limited ? clock::now() + std::chrono::duration_cast<clock::duration>(
                                                       std::chrono::duration<double>(std::min(timeoutSeconds, 1e9)))
                                  : clock::time_point::max();
    detail::Scheduler::instance().fireDue();
    for (;;) {
        if (done && done()) return true;
        Block item;
        {
            std::unique_lock<std::mutex> lock(impl_->mutex);
            if (impl_->stopRequested) {
                impl_->stopRequested = false;
                break;
            }
            if (impl_->items.empty()) {
                auto now = clock::now();
                if (now >= deadline) break;
                auto until = deadline;
                if (done) until = std::min(until, now + kConditionPollInterval);
                uint64_t seen = impl_->wakeups;
                auto ready = [&] { return !impl_->items.empty() || impl_->stopRequested || impl_->wakeups != seen; };
                if (until == clock::time_point::max())
                    impl_->cv.wait(lock, ready);
                else
                    impl_->cv.wait_until(lock, until, ready);
                continue;
            }
            item = std::move(impl_->items.front());
            impl_->items.pop_front();
        }
        detail::runGuarded(label_, item);
    }
    return done ? done() : false;
}

void RunLoop::runFor(double seconds) { runUntil(nullptr, std::max(seconds, 0.0)); }

void RunLoop::run() { runUntil(nullptr, -1); }

void RunLoop::stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->runDepth == 0) return;
        impl_->stopRequested = true;
    }
    impl_->cv.notify_all();
}

std::size_t RunLoop::runOnce() {
    requireOwner(*this, impl_->isMain);
    ActiveScope scope(*impl_, false);
    detail::Scheduler::instance().fireDue();
    std::size_t available;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        available = impl_->items.size();
    }
    std::size_t ran = 0;
    // Only what was there on entry: work posted by this work waits its turn.
    for (; ran < available; ++ran) {
        Block item;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            if (impl_->items.empty()) break;
            item = std::move(impl_->items.front());
            impl_->items.pop_front();
        }
        detail::runGuarded(label_, item);
    }
    return ran;
}

// ---------------------------------------------------------------- Timer

struct Timer::State {
    mutable std::mutex mutex;
    std::weak_ptr<RunLoop> loop;
    double interval = 0;
    bool repeats = false;
    std::shared_ptr<TimerBlock> block;
    bool valid = true;
    double fireDate = 0;
    uint64_t entry = 0;
    uint64_t generation = 0;
};

struct TimerAccess {
    static Timer::State& state(Timer& t) { return *t.state_; }

    // Replaces the pending firing with one at s.fireDate; returns the old
    // entry for the caller to drop outside the lock.
    static uint64_t armLocked(Timer& timer) {
        auto& s = *timer.state_;
        uint64_t stale = s.entry;
        ++s.generation;
        // The loop's schedule holds the timer until it is invalidated.
        std::shared_ptr<Timer> held = timer.shared_from_this();
        uint64_t generation = s.generation;
        s.entry = detail::Scheduler::instance().schedule(
            s.fireDate, detail::Target::onLoop(s.loop),
            [held, generation](double deadline) { fired(*held, generation, deadline); });
        return stale;
    }

    // On the loop's thread.
    static void fired(Timer& timer, uint64_t generation, double deadline) {
        auto& s = *timer.state_;
        std::shared_ptr<Timer::TimerBlock> block;
        uint64_t stale = 0;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (!s.valid || generation != s.generation) return;
            s.entry = 0;
            block = s.block;
            if (s.repeats) {
                // Firings missed while the loop was busy are skipped.
                double next = deadline + s.interval;
                double now = Clock::nowSeconds();
                if (next <= now) next += s.interval * (std::floor((now - next) / s.interval) + 1);
                s.fireDate = next;
                stale = armLocked(timer);
            }
        }
        if (stale) detail::Scheduler::instance().cancel(stale);
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            seen = s.generation;
        }
        if (block) (*block)(timer);
        if (!s.repeats) {
            std::shared_ptr<Timer::TimerBlock> released;
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                // A block that moved the fire date keeps its timer.
                if (s.generation != seen || !s.valid) return;
                s.valid = false;
                released = std::move(s.block);
            }
        }
    }
};

Timer::Timer(Passkey, std::shared_ptr<State> state) : state_(std::move(state)) {}
Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::scheduled(RunLoop& loop, double interval, bool repeats, TimerBlock block) {
    if (!block) Exception::raise(kInvalidArgumentException, "Timer needs a block");
    if (std::isnan(interval)) Exception::raise(kInvalidArgumentException, "Timer needs an interval");
    if (repeats && interval <= 0) interval = 0.0001;
    if (interval < 0) interval = 0;
    auto state = std::make_shared<State>();
    state->loop = loop.shared_from_this();
    state->interval = interval;
    state->repeats = repeats;
    state->block = std::make_shared<TimerBlock>(std::move(block));
    state->fireDate = Clock::nowSeconds() + interval;
    auto timer = std::make_shared<Timer>(Passkey{}, state);
    std::lock_guard<std::mutex> lock(state->mutex);
    TimerAccess::armLocked(*timer);
    return timer;
}

double Timer::fireDate() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->entry)
        if (auto d = detail::Scheduler::instance().deadlineOf(state_->entry)) return *d;
    return state_->fireDate;
}

void Timer::setFireDate(double absoluteSeconds) {
    if (std::isnan(absoluteSeconds)) Exception::raise(kInvalidArgumentException, "Timer::setFireDate needs a date");
    uint64_t stale;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->valid) return;
        state_->fireDate = absoluteSeconds;
        stale = TimerAccess::armLocked(*this);
    }
    if (stale) detail::Scheduler::instance().cancel(stale);
}

double Timer::timeInterval() const { return state_->interval; }
bool Timer::repeats() const { return state_->repeats; }

void Timer::invalidate() {
    uint64_t stale;
    std::shared_ptr<TimerBlock> released;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->valid) return;
        state_->valid = false;
        ++state_->generation;
        stale = state_->entry;
        state_->entry = 0;
        released = std::move(state_->block);
    }
    // Outside the lock: the entry holds this timer and the block may too.
    if (stale) detail::Scheduler::instance().cancel(stale);
}

bool Timer::isValid() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->valid;
}

void Timer::fire() {
    std::shared_ptr<TimerBlock> block;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->valid) return;
        block = state_->block;
    }
    if (block) (*block)(*this);
    if (!state_->repeats) invalidate();
}

}  // namespace ns
