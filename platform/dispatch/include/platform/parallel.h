#pragma once
// Work spread over a few short-lived threads, for the walks of large trees
// (the node hash, the compound hash, a large push) and a picture's PNG bands.
// Threads are started per call: the work that uses them is rare and each
// call runs for milliseconds at least.

#include <cstddef>
#include <functional>

namespace ns::parallel {

// The threads this process may run on (its CPU affinity), at most 8.
unsigned threadCount();

// Runs work(i) for every i below n on up to `threads` threads, the caller's
// included, each taking `chunk` indexes at a time. When fewer threads can be
// started the rest of the work stays with the caller. A fault is raised on
// the caller once every thread has ended: the one of the lowest index.
void run(unsigned threads, size_t n, size_t chunk, const std::function<void(size_t)>& work);

// As run, with the work made once per thread by makeWork, for state a thread
// keeps across its indexes (buffers, a compressor).
void runPerThread(unsigned threads, size_t n, size_t chunk,
                  const std::function<std::function<void(size_t)>()>& makeWork);

}  // namespace ns::parallel
