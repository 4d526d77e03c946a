#include "platform/thread_owned.h"

#include <pthread.h>

#include <cstdlib>

namespace ns {

namespace {

struct EndStep {
    void (*run)(void*);
    void* arg;
    EndStep* next;
};

// The thread's steps, newest first: plain data, readable until the thread
// is gone.
thread_local EndStep* tSteps = nullptr;

// Steps that keep registering steps as they run would never let the thread
// end; past this many the rest are left.
constexpr int kMaxSteps = 1 << 16;

void runSteps(void*) {
    for (int ran = 0; ran < kMaxSteps; ++ran) {
        EndStep* step = tSteps;
        if (!step) return;
        tSteps = step->next;
        step->run(step->arg);
        delete step;
    }
}

// The thread-specific key whose destructor runs a thread's steps. Such
// destructors run when a thread ends and, unlike thread_local objects, not
// for the main thread when it calls exit.
pthread_key_t endKey() {
    static const pthread_key_t key = [] {
        pthread_key_t made;
        if (pthread_key_create(&made, runSteps) != 0) std::abort();
        return made;
    }();
    return key;
}

}  // namespace

void atThreadEnd(void (*run)(void*), void* arg) {
    tSteps = new EndStep{run, arg, tSteps};
    // Any non-null value has the key's destructor run at the thread's end.
    pthread_setspecific(endKey(), tSteps);
}

}  // namespace ns
