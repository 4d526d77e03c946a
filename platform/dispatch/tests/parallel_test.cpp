#include "platform/parallel.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A number for the calling thread, new for every thread the process starts
// (thread ids are reused once a thread is joined).
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

TEST(Parallel, EveryIndexRunsOnceAndTheLowestFaultIsRaisedAfterAll) {
    const struct {
        unsigned threads;
        size_t n, chunk;
        std::vector<size_t> faulting;
    } cases[] = {{1, 0, 1, {}},     {4, 1, 1, {}},       {3, 10, 0, {}},          {16, 5000, 3, {}},
                 {1, 100, 7, {99}}, {8, 100, 7, {50, 3}}, {8, 1000, 16, {999, 511}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.threads) + " threads, " + std::to_string(c.n) + " by " + std::to_string(c.chunk));
        std::vector<std::atomic<int>> seen(c.n);
        std::mutex lock;
        std::set<size_t> threads;
        std::string raised;
        try {
            ns::parallel::runPerThread(c.threads, c.n, c.chunk, [&] {
                std::lock_guard<std::mutex> hold(lock);
                EXPECT_TRUE(threads.insert(threadSerial()).second) << "work made twice on one thread";
                return [&](size_t i) {
                    ++seen[i];
                    if (std::count(c.faulting.begin(), c.faulting.end(), i)) throw std::runtime_error(std::to_string(i));
                };
            });
        } catch (const std::runtime_error& e) {
            raised = e.what();
        }
        for (size_t i = 0; i < c.n; ++i) ASSERT_EQ(seen[i].load(), 1) << "index " << i;
        EXPECT_LE(threads.size(), std::min<size_t>(c.threads, ns::parallel::threadCount()));
        EXPECT_EQ(raised, c.faulting.empty() ? "" : std::to_string(*std::min_element(c.faulting.begin(), c.faulting.end())));
    }
}

TEST(Parallel, CallsFromInsideTheWorkAndFromSeveralThreadsFinish) {
    const unsigned threads = ns::parallel::threadCount();
    std::atomic<size_t> sum{0};
    auto nested = [&] {
        ns::parallel::run(threads, 8, 1, [&](size_t) { ns::parallel::run(threads, 100, 1, [&](size_t j) { sum += j; }); });
    };
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) callers.emplace_back([&] { for (int k = 0; k < 20; ++k) nested(); });
    nested();
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(sum.load(), size_t(61) * 8 * 4950);
}

// Two indexes that wait for each other: the call takes one helper, from the
// threads the process keeps (per-call threads would be new every time).
bool runTakingOneHelper(std::set<size_t>* helpers) {
    std::atomic<size_t> taken{0};
    std::atomic<bool> helped{true};
    const size_t caller = threadSerial();
    std::mutex lock;
    ns::parallel::run(2, 2, 1, [&](size_t) {
        ++taken;
        if (!awaitCount(taken, 2)) helped = false;
        std::lock_guard<std::mutex> hold(lock);
        if (helpers && threadSerial() != caller) helpers->insert(threadSerial());
    });
    return helped;
}

TEST(Parallel, HelpersAreKeptFromCallToCall) {
    if (ns::parallel::threadCount() < 2) GTEST_SKIP() << "one processor: no helpers";
    std::set<size_t> helpers;
    for (int call = 0; call < 16; ++call) ASSERT_TRUE(runTakingOneHelper(&helpers));
    EXPECT_LE(helpers.size(), ns::parallel::threadCount() - 1);
}

#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer refuses threads in a forked child of a threaded process
TEST(Parallel, AForkedChildHasHelpersOfItsOwn) {
    if (ns::parallel::threadCount() < 2) GTEST_SKIP() << "one processor: no helpers";
    // Every helper of the parent at work before the fork: a thread forked
    // while still starting may leave a sanitizer's lock held.
    const unsigned threads = ns::parallel::threadCount();
    std::atomic<size_t> started{0};
    ns::parallel::run(threads, threads, 1, [&](size_t) {
        ++started;
        EXPECT_TRUE(awaitCount(started, threads));
    });
    const pid_t child = ::fork();
    if (child == 0) std::quick_exit(runTakingOneHelper(nullptr) ? 0 : 1);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
#endif

}  // namespace
