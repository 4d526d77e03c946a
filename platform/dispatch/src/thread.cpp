#include "platform/thread.h"

#include <pthread.h>

#include <thread>

#include "platform/error.h"
#include "platform/thread_owned.h"

namespace ns {

namespace {
std::weak_ptr<Thread>& currentThread() {
    thread_local std::weak_ptr<Thread>* slot = nullptr;
    return threadOwned(slot);
}
}  // namespace

void Thread::setName(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

std::string Thread::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void Thread::start() {
    if (started_.exchange(true)) {
        Exception::raise(kInternalInconsistencyException, "a thread can be started only once");
    }
    std::shared_ptr<Thread> self = shared_from_this();
    std::thread([self] {
        const std::string name = self->name();
        if (!name.empty()) {
            // The system keeps the last 15 bytes, which tell threads apart best.
            const std::string shown = name.size() > 15 ? name.substr(name.size() - 15) : name;
            pthread_setname_np(pthread_self(), shown.c_str());
        }
        currentThread() = self;
        self->executing_.store(true);
        self->main();
        self->executing_.store(false);
        self->finished_.store(true);
        currentThread().reset();
    }).detach();
}

std::shared_ptr<Thread> Thread::current() { return currentThread().lock(); }

}  // namespace ns
