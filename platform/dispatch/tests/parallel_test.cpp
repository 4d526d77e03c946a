#include "platform/parallel.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A number for the calling thread, new for every thread the process starts
// (thread ids may be reused once a thread is joined).
size_t threadSerial() {
    static std::atomic<size_t> next{0};
    thread_local const size_t serial = next++;
    return serial;
}

// Waits until `count` reaches `target`, at most ten seconds; whether it did.
bool awaitCount(const std::atomic<size_t>& count, size_t target) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count.load() < target) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(Parallel, EveryIndexRunsOnceOnAtMostTheThreadsThereAre) {
    struct Case {
        unsigned threads;
        size_t n;
        size_t chunk;
    };
    const Case cases[] = {{1, 0, 1},   {4, 0, 3},    {1, 100, 7},   {4, 1, 1},
                          {4, 1000, 1}, {8, 1000, 64}, {3, 10, 0}, {16, 5000, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.threads) + " threads, " + std::to_string(c.n) + " by " +
                     std::to_string(c.chunk));
        std::vector<std::atomic<int>> seen(c.n);
        std::mutex lock;
        std::set<size_t> threads;
        ns::parallel::runPerThread(c.threads, c.n, c.chunk, [&] {
            std::lock_guard<std::mutex> hold(lock);
            EXPECT_TRUE(threads.insert(threadSerial()).second) << "work made twice on one thread";
            return [&seen](size_t i) { ++seen[i]; };
        });
        for (size_t i = 0; i < c.n; ++i) ASSERT_EQ(seen[i].load(), 1) << "index " << i;
        EXPECT_LE(threads.size(), std::min<size_t>(c.threads, ns::parallel::threadCount()));
    }
}

TEST(Parallel, TheLowestFaultIsRaisedOnceEveryIndexHasRun) {
    struct Case {
        size_t n;
        size_t chunk;
        std::vector<size_t> faulting;
    };
    const Case cases[] = {{1, 1, {0}}, {100, 1, {99}}, {100, 7, {50, 3, 98}}, {1000, 16, {999, 512, 511}}};
    for (const Case& c : cases) {
        std::atomic<size_t> ran{0};
        try {
            ns::parallel::run(ns::parallel::threadCount(), c.n, c.chunk, [&](size_t i) {
                ++ran;
                if (std::find(c.faulting.begin(), c.faulting.end(), i) != c.faulting.end()) {
                    throw std::runtime_error(std::to_string(i));
                }
            });
            ADD_FAILURE() << "no fault raised";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), std::to_string(*std::min_element(c.faulting.begin(), c.faulting.end())));
            EXPECT_EQ(ran.load(), c.n) << "raised before every thread left";
        }
    }
}

TEST(Parallel, CallsFromInsideTheWorkAndFromSeveralThreadsFinish) {
    const unsigned threads = ns::parallel::threadCount();
    std::atomic<size_t> sum{0};
    auto nested = [&] {
        ns::parallel::run(threads, 8, 1, [&](size_t) {
            ns::parallel::run(threads, 100, 1, [&](size_t j) { sum += j; });
        });
    };
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&] {
            for (int k = 0; k < 20; ++k) nested();
        });
    }
    nested();
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(sum.load(), size_t(61) * 8 * 4950);
}

TEST(Parallel, HelpersAreKeptFromCallToCall) {
    if (ns::parallel::threadCount() < 2) GTEST_SKIP() << "one processor: no helpers";
    // Each call's two indexes wait for each other, so each call takes one
    // helper; per-call threads would be a new one every time.
    std::set<size_t> helpers;
    for (int call = 0; call < 16; ++call) {
        std::atomic<size_t> taken{0};
        std::mutex lock;
        const size_t caller = threadSerial();
        ns::parallel::run(2, 2, 1, [&](size_t) {
            ++taken;
            ASSERT_TRUE(awaitCount(taken, 2)) << "no helper came";
            if (threadSerial() != caller) {
                std::lock_guard<std::mutex> hold(lock);
                helpers.insert(threadSerial());
            }
        });
    }
    EXPECT_LE(helpers.size(), ns::parallel::threadCount() - 1);
}

#if !defined(__SANITIZE_THREAD__)
// (ThreadSanitizer refuses threads in a forked child of a threaded process.)
TEST(Parallel, AForkedChildHasHelpersOfItsOwn) {
    if (ns::parallel::threadCount() < 2) GTEST_SKIP() << "one processor: no helpers";
    // Every helper of the parent started and at work before the fork (a
    // thread forked while still starting may leave a sanitizer's lock held).
    const unsigned threads = ns::parallel::threadCount();
    std::atomic<size_t> started{0};
    ns::parallel::run(threads, threads, 1, [&](size_t) {
        ++started;
        EXPECT_TRUE(awaitCount(started, threads));
    });
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(30);  // the parent sees a hang as a signal
        std::atomic<size_t> taken{0};
        bool helped = true;
        ns::parallel::run(2, 2, 1, [&](size_t) {
            ++taken;
            if (!awaitCount(taken, 2)) helped = false;
        });
        std::quick_exit(helped ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
#endif

}  // namespace
