#pragma once
// Work spread over a few threads, for the walks of large trees (the node
// hash, the compound hash, a large push, a restore of many writes) and a
// picture's PNG bands. The threads are the process's own: started when a
// call first wants them, parked between calls and reused, so what a thread
// keeps for itself (free lists of pooled slots, recently made keys and
// leaves, its malloc arena) is still warm at the next call, and a call costs
// a wake-up rather than a thread start. At most threadCount() - 1 of them
// exist, shared by every caller; the caller always takes part.

#include <cstddef>
#include <functional>

namespace ns::parallel {

// The threads this process may run on (its CPU affinity), at most 8.
unsigned threadCount();

// Runs work(i) for every i below n on up to `threads` threads, the caller's
// included, each taking `chunk` indexes at a time. Parked threads join in as
// they wake; when none is free (all busy with other calls, or nested calls
// from inside a call's work) the rest of the work stays with the caller, so
// a call never waits for a thread that has not started its work. A fault is
// raised on the caller once every thread has left the call: the one of the
// lowest index. Any thread may call; a forked child starts threads of its
// own, and the threads are ended and joined when the process exits.
void run(unsigned threads, size_t n, size_t chunk, const std::function<void(size_t)>& work);

// As run, with the work made once per thread by makeWork, for state a thread
// keeps across its indexes (buffers, a compressor).
void runPerThread(unsigned threads, size_t n, size_t chunk,
                  const std::function<std::function<void(size_t)>()>& makeWork);

}  // namespace ns::parallel
