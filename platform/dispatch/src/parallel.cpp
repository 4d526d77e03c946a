#include "platform/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
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
    std::vector<std::thread> workers;
    try {
        for (size_t t = 1; t < wanted; ++t) workers.emplace_back(loop);
    } catch (const std::system_error&) {
        // Fewer threads: the rest of the work stays with the caller.
    }
    loop();
    for (auto& worker : workers) worker.join();
    if (fault) std::rethrow_exception(fault);
}

void run(unsigned threads, size_t n, size_t chunk, const std::function<void(size_t)>& work) {
    runPerThread(threads, n, chunk, [&work] { return work; });
}

}  // namespace ns::parallel
