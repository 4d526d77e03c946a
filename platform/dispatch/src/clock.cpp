#include "platform/clock.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "executor_impl.h"
#include "platform/error.h"
#include "platform/runloop.h"

namespace ns {

namespace {

class SystemClock : public Clock {
public:
    double now() const override {
        using namespace std::chrono;
        return duration<double>(system_clock::now().time_since_epoch()).count();
    }
};

Clock& systemClock() {
    // Never destroyed: detached threads may still read it during exit.
    static SystemClock* clock = new SystemClock;
    return *clock;
}

std::atomic<Clock*>& currentClock() {
    static std::atomic<Clock*> current{&systemClock()};
    return current;
}

// How long VirtualClock::advance waits for a step's work before it gives up
// on it (a block blocked on something only the caller can provide).
constexpr double kAdvanceStepCapSeconds = 10.0;

}  // namespace

Clock& Clock::current() { return *currentClock().load(std::memory_order_acquire); }

double Clock::uptime() const {
    struct timespec ts;
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return 0;
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// What is installed as the current clock. Another thread may have loaded it
// from Clock::current() just before the test's VirtualClock goes away and
// still be reading it, so it is never freed: an uninstalled one is kept in a
// list that lives as long as the process (a few small objects per test run).
struct VirtualClock::Impl final : Clock {
    std::atomic<double> time{0};
    double start = 0;
    double uptimeAtStart = 0;  // the real uptime when installed
    double now() const override { return time.load(std::memory_order_acquire); }
    bool isVirtual() const override { return true; }
    double uptime() const override { return uptimeAtStart + (now() - start); }
};

namespace {

void retire(std::unique_ptr<Clock> clock) {
    static std::mutex mutex;
    static auto* retired = new std::vector<std::unique_ptr<Clock>>;
    std::lock_guard lock(mutex);
    retired->push_back(std::move(clock));
}

}  // namespace

std::unique_ptr<VirtualClock> VirtualClock::install(double start) {
    std::unique_ptr<VirtualClock> clock(new VirtualClock);
    clock->impl_ = std::make_unique<Impl>();
    clock->impl_->time.store(start);
    clock->impl_->start = start;
    // Whole seconds: the boot time it implies then has the start's fraction,
    // so spans taken between two uptimes split into seconds and microseconds
    // (as the analytics session clock does) come out exact, not a rounding
    // below a whole millisecond that varies with the machine's real uptime.
    clock->impl_->uptimeAtStart = std::floor(systemClock().uptime());
    detail::Scheduler::instance().switchClock(clock->impl_.get());
    return clock;
}

VirtualClock::~VirtualClock() {
    if (&Clock::current() == impl_.get()) detail::Scheduler::instance().switchClock(&systemClock());
    retire(std::move(impl_));
}

double VirtualClock::now() const { return impl_->now(); }

double VirtualClock::uptime() const { return impl_->uptime(); }

void VirtualClock::advance(double seconds) {
    if (!(seconds >= 0)) Exception::raise(kInvalidArgumentException, "VirtualClock::advance needs a non-negative time");
    detail::Scheduler::instance().advanceVirtual(now() + seconds, impl_->time);
}

bool VirtualClock::advanceInstalled(double seconds) {
    if (!(seconds >= 0)) Exception::raise(kInvalidArgumentException, "VirtualClock::advance needs a non-negative time");
    // Installed virtual clocks are never freed (see Impl), so this one stays
    // valid even if its owner uninstalls it meanwhile.
    auto* clock = dynamic_cast<Impl*>(&Clock::current());
    if (!clock) return false;
    detail::Scheduler::instance().advanceVirtual(clock->now() + seconds, clock->time);
    return true;
}

void VirtualClock::advanceTo(double absoluteSeconds) {
    if (std::isnan(absoluteSeconds)) Exception::raise(kInvalidArgumentException, "VirtualClock::advanceTo needs a time");
    detail::Scheduler::instance().advanceVirtual(std::max(absoluteSeconds, now()), impl_->time);
}

namespace detail {

// ---------------------------------------------------------------- DoneFlag

void DoneFlag::set() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    cv.notify_all();
    if (auto loop = wake.lock()) loop->wakeUp();
}

bool DoneFlag::isSet() {
    std::lock_guard<std::mutex> lock(mutex);
    return done;
}

bool DoneFlag::waitFor(double seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return done; });
}

// ---------------------------------------------------------------- timedWait

bool timedWait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, const std::shared_ptr<void>& owner,
               double timeoutSeconds, const std::function<bool()>& pred) {
    if (pred()) return true;
    if (timeoutSeconds < 0 || std::isnan(timeoutSeconds)) {
        cv.wait(lock, pred);
        return true;
    }
    if (timeoutSeconds == 0) return false;
    auto expired = std::make_shared<bool>(false);  // guarded by lock's mutex
    std::mutex* mutex = lock.mutex();
    std::condition_variable* cvp = &cv;
    uint64_t id = Scheduler::instance().schedule(
        Clock::nowSeconds() + timeoutSeconds, Target::inlineOnFiringThread(),
        [owner, mutex, cvp, expired](double) {
            std::lock_guard<std::mutex> g(*mutex);
            *expired = true;
            cvp->notify_all();
        });
    cv.wait(lock, [&] { return pred() || *expired; });
    bool ok = pred();
    if (!*expired) Scheduler::instance().cancel(id);
    return ok;
}

// ---------------------------------------------------------------- Scheduler

Scheduler& Scheduler::instance() {
    // Never destroyed: its timer thread outlives static destruction.
    static Scheduler* scheduler = new Scheduler;
    return *scheduler;
}

void Scheduler::ensureThreadLocked() {
    if (threadStarted_) return;
    threadStarted_ = true;
    std::thread([this] { timerLoop(); }).detach();
}

uint64_t Scheduler::schedule(double deadline, Target target, TimedWork work) {
    if (std::isnan(deadline)) deadline = Clock::nowSeconds();
    uint64_t seq;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seq = nextSeq_++;
        // Work whose time has already come goes straight to its queue or
        // loop, like an async. Inline work never runs on the scheduling
        // thread (its caller holds the lock the work takes).
        if (target.kind == Target::Kind::Inline || deadline > Clock::current().now()) {
            ensureThreadLocked();
            Key key{deadline, seq};
            bool earliest = entries_.empty() || key < entries_.begin()->first;
            entries_.emplace(key, Entry{deadline, seq, std::move(target), std::move(work)});
            byId_.emplace(seq, key);
            if (earliest) cv_.notify_all();
            return seq;
        }
    }
    Entry due{deadline, seq, std::move(target), std::move(work)};
    deliver(due);
    return seq;
}

bool Scheduler::cancel(uint64_t id) {
    Entry dropped;  // destroyed outside the lock: its work may own anything
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = byId_.find(id);
        if (it == byId_.end()) return false;
        auto entry = entries_.find(it->second);
        dropped = std::move(entry->second);
        entries_.erase(entry);
        byId_.erase(it);
    }
    return true;
}

std::optional<double> Scheduler::deadlineOf(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byId_.find(id);
    if (it == byId_.end()) return std::nullopt;
    return it->second.first;
}

std::vector<Scheduler::Entry> Scheduler::popDueLocked(double now) {
    std::vector<Entry> due;
    while (!entries_.empty() && entries_.begin()->first.first <= now) {
        auto it = entries_.begin();
        byId_.erase(it->second.seq);
        due.push_back(std::move(it->second));
        entries_.erase(it);
    }
    return due;
}

void Scheduler::fireDue() {
    std::lock_guard<std::mutex> order(deliverMutex_);
    std::vector<Entry> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Clock& clock = Clock::current();
        // Virtual time fires only inside VirtualClock::advance, which owns
        // the order of firing and waits for each step.
        if (clock.isVirtual()) return;
        due = popDueLocked(clock.now());
    }
    for (auto& e : due) deliver(e);
}

void Scheduler::timerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Clock& clock = Clock::current();
        bool isVirtual = clock.isVirtual();
        double now = clock.now();
        if (!isVirtual && !entries_.empty() && entries_.begin()->first.first <= now) {
            lock.unlock();
            fireDue();
            lock.lock();
            continue;
        }
        if (entries_.empty() || isVirtual) {
            cv_.wait(lock);
        } else {
            // Capped so a change of the wall clock is noticed.
            double wait = std::min(entries_.begin()->first.first - now, 10.0);
            cv_.wait_for(lock, std::chrono::microseconds(static_cast<int64_t>(std::ceil(wait * 1e6))));
        }
    }
}

void Scheduler::switchClock(Clock* to) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Clock* from = currentClock().load();
        if (from == to) return;
        if (from->isVirtual() && to->isVirtual())
            Exception::raise(kInternalInconsistencyException, "a virtual clock is already installed");
        double shift = to->now() - from->now();
        std::map<Key, Entry> shifted;
        for (auto& [key, entry] : entries_) {
            entry.deadline += shift;
            Key k{entry.deadline, key.second};
            byId_[key.second] = k;
            shifted.emplace(k, std::move(entry));
        }
        entries_.swap(shifted);
        currentClock().store(to, std::memory_order_release);
    }
    cv_.notify_all();
}

void Scheduler::advanceVirtual(double target, std::atomic<double>& now) {
    for (;;) {
        Entry e;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (entries_.empty() || entries_.begin()->first.first > target) {
                if (now.load() < target) now.store(target);
                break;
            }
            auto it = entries_.begin();
            byId_.erase(it->second.seq);
            e = std::move(it->second);
            entries_.erase(it);
            if (now.load() < e.deadline) now.store(e.deadline);
        }
        deliverAndWait(e);
    }
}

void Scheduler::deliver(Entry& e) {
    switch (e.target.kind) {
        case Target::Kind::Inline:
            e.work(e.deadline);
            return;
        case Target::Kind::Queue: {
            DispatchQueuePtr q = std::move(e.target.queue);
            if (q) q->async([work = std::move(e.work), d = e.deadline] { work(d); });
            return;
        }
        case Target::Kind::Loop:
            if (auto loop = e.target.loop.lock())
                loop->perform([work = std::move(e.work), d = e.deadline] { work(d); });
            return;
    }
}

namespace {

// Sets the flag when the last copy of the handed-over work is gone, so a
// step whose work was dropped (its loop ended) does not hold advance up.
struct SignalOnDrop {
    explicit SignalOnDrop(std::shared_ptr<DoneFlag> f) : flag(std::move(f)) {}
    SignalOnDrop(const SignalOnDrop&) = delete;
    SignalOnDrop& operator=(const SignalOnDrop&) = delete;
    ~SignalOnDrop() { flag->set(); }
    std::shared_ptr<DoneFlag> flag;
};

void waitForStep(const std::shared_ptr<DoneFlag>& done, bool pumpMain, const std::string& where) {
    bool finished;
    if (pumpMain)
        finished = mainLoopUnbound().runUntil([&] { return done->isSet(); }, kAdvanceStepCapSeconds);
    else
        finished = done->waitFor(kAdvanceStepCapSeconds);
    if (!finished)
        std::fprintf(stderr, "VirtualClock::advance: work due on %s is still blocked; moving on\n", where.c_str());
}

}  // namespace

void Scheduler::deliverAndWait(Entry& e) {
    if (e.target.kind == Target::Kind::Inline) {
        e.work(e.deadline);
        return;
    }
    auto done = std::make_shared<DoneFlag>();
    auto signal = std::make_shared<SignalOnDrop>(done);
    Block step = [work = std::move(e.work), d = e.deadline, signal] {
        work(d);
        signal->flag->set();
    };
    signal.reset();
    const bool onMain = RunLoop::isMainThread();
    if (onMain) done->wake = mainLoopUnboundShared();

    if (e.target.kind == Target::Kind::Queue) {
        DispatchQueuePtr q = std::move(e.target.queue);
        if (!q) return;
        q->async(std::move(step));
        if (q->kind() == DispatchQueue::Kind::Main) {
            // Main-queue work runs here when we are the main thread;
            // otherwise it waits for the main loop like any main-queue block.
            if (onMain && !q->isSuspended()) waitForStep(done, true, q->label());
            return;
        }
        if (q->isCurrent() || q->isSuspended()) return;
        waitForStep(done, onMain, q->label());
        return;
    }

    std::shared_ptr<RunLoop> loop = e.target.loop.lock();
    if (!loop) return;
    if (loop->isCurrent()) {
        done->wake = loop;
        loop->perform(std::move(step));
        if (!loop->runUntil([&] { return done->isSet(); }, kAdvanceStepCapSeconds))
            std::fprintf(stderr, "VirtualClock::advance: work due on %s is still blocked; moving on\n",
                         loop->label().c_str());
        return;
    }
    loop->perform(std::move(step));
    // A loop nobody runs would never get to it; its work waits for the loop.
    if (!loop->isRunning()) return;
    waitForStep(done, onMain, loop->label());
}

}  // namespace detail
}  // namespace ns
