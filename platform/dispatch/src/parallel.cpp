#include "platform/parallel.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace ns::parallel {

unsigned threadCount() {
    static const unsigned kThreads = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        unsigned n = sched_getaffinity(0, sizeof set, &set) == 0 ? unsigned(CPU_COUNT(&set))
                                                                 : std::thread::hardware_concurrency();
        return std::clamp(n, 1u, 8u);
    }();
    return kThreads;
}

namespace {

// A call's loop as the pool's threads see it; it lives on the caller's
// stack, and the pool touches it only under its lock.
struct Job {
    void (*loop)(void*);
    void* context;
    // Places still open to helpers.
    size_t places;
    // Helpers running the loop.
    size_t inside = 0;
    bool closed = false;
};

// Parked threads taking part in open jobs. Never destroyed: a call may come
// from pooled work while the process exits, and finds the pool stopped.
class Pool {
public:
    explicit Pool(size_t limit) : limit_(limit) {}

    // Offers `job` to parked threads, starting threads up to the limit
    // while fewer are parked than it has places.
    void open(Job& job) {
        const size_t places = job.places;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (stopped_ || places == 0) return;
            jobs_.push_back(&job);
            while (parked_ < places && threads_.size() < limit_) {
                try {
                    threads_.emplace_back([this] { work(); });
                } catch (...) {
                    break;  // fewer threads: the rest of the work stays with the caller
                }
                ++parked_;
            }
        }
        // Woken with the lock free, a thread need not wait for it again.
        if (places == 1) {
            wake_.notify_one();
        } else {
            wake_.notify_all();
        }
    }

    // Closes `job` to helpers not yet in it and waits for those in it.
    void close(Job& job) {
        std::unique_lock<std::mutex> hold(mutex_);
        job.closed = true;
        if (job.places > 0) std::erase(jobs_, &job);
        left_.wait(hold, [&job] { return job.inside == 0; });
    }

    // Ends the threads once they leave the jobs they are in, and joins them.
    void stop() {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopped_ = true;
            threads.swap(threads_);
        }
        wake_.notify_all();
        for (std::thread& thread : threads) {
            // Exit called from a job's work: that thread cannot join itself.
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach();
            } else {
                thread.join();
            }
        }
    }

private:
    void work() {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            wake_.wait(hold, [this] { return stopped_ || !jobs_.empty(); });
            if (stopped_) return;
            Job* job = jobs_.front();
            if (--job->places == 0) jobs_.pop_front();
            ++job->inside;
            --parked_;
            hold.unlock();
            job->loop(job->context);
            hold.lock();
            ++parked_;
            if (--job->inside == 0 && job->closed) left_.notify_all();
        }
    }

    const size_t limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable left_;
    // Open jobs with places left, oldest first.
    std::deque<Job*> jobs_;
    std::vector<std::thread> threads_;
    // Threads waiting for a job, or started and about to.
    size_t parked_ = 0;
    bool stopped_ = false;
};

std::atomic<Pool*> gPool{nullptr};
// The pool a forked child left behind (its threads stayed in the parent),
// kept reachable so leak checkers see it held.
Pool* gForsaken = nullptr;

void stopAtExit() {
    if (Pool* pool = gPool.load(std::memory_order_acquire)) pool->stop();
}

// A forked child has none of its parent's threads, and a lock a parent's
// thread held stays held: the child's calls start a pool of their own.
void forgetPoolInChild() {
    gForsaken = gPool.exchange(nullptr, std::memory_order_acq_rel);
}

Pool& pool() {
    if (Pool* pool = gPool.load(std::memory_order_acquire)) return *pool;
    static const bool kHooked = [] {
        pthread_atfork(nullptr, nullptr, forgetPoolInChild);
        std::atexit(stopAtExit);
        return true;
    }();
    (void)kHooked;
    auto* made = new Pool(threadCount() > 1 ? threadCount() - 1 : 0);
    Pool* expected = nullptr;
    if (gPool.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return *made;
    delete made;
    return *expected;
}

}  // namespace

void runPerThread(unsigned threads, size_t n, size_t chunk,
                  const std::function<std::function<void(size_t)>()>& makeWork) {
    chunk = std::max<size_t>(1, chunk);
    std::atomic<size_t> next{0};
    std::mutex faultLock;
    size_t faultIndex = std::numeric_limits<size_t>::max();
    std::exception_ptr fault;
    auto loop = [&] {
        std::function<void(size_t)> work;
        for (size_t start; (start = next.fetch_add(chunk)) < n;) {
            for (size_t i = start; i < std::min(n, start + chunk); ++i) {
                try {
                    if (!work) work = makeWork();
                    work(i);
                } catch (...) {
                    std::lock_guard<std::mutex> hold(faultLock);
                    if (i < faultIndex) {
                        faultIndex = i;
                        fault = std::current_exception();
                    }
                }
            }
        }
    };
    const size_t wanted = std::min<size_t>(threads, (n + chunk - 1) / chunk);
    if (wanted > 1) {
        Job job{[](void* context) { (*static_cast<decltype(loop)*>(context))(); }, &loop, wanted - 1};
        Pool& helpers = pool();
        helpers.open(job);
        loop();
        helpers.close(job);
    } else {
        loop();
    }
    if (fault) std::rethrow_exception(fault);
}

void run(unsigned threads, size_t n, size_t chunk, const std::function<void(size_t)>& work) {
    runPerThread(threads, n, chunk, [&work] { return work; });
}

}  // namespace ns::parallel
