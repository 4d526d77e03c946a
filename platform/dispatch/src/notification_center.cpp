#include "platform/notification_center.h"

#include <algorithm>
#include <condition_variable>

#include "platform/error.h"
#include "platform/thread_owned.h"

namespace ns {

struct NotificationCenter::Entry {
    ObserverToken token = 0;
    std::string name;
    const void* sender = nullptr;
    DispatchQueuePtr queue;
    NotificationBlock block;
    const void* owner = nullptr;

    // Guards `registered` and `inflight`; `inflight` counts synchronous calls
    // running right now, on any thread, so removal can wait for them.
    std::mutex mutex;
    std::condition_variable idle;
    bool registered = true;
    int inflight = 0;

    bool matches(std::string_view n, const void* object) const {
        return (name.empty() || name == n) && (sender == nullptr || sender == object);
    }
};

namespace {

// The synchronous calls the current thread is inside of (innermost last).
// Removal from inside a call must not wait for that very call to end.
std::vector<const void*>& callsOnThisThread() {
    thread_local std::vector<const void*>* calls = nullptr;
    return threadOwned(calls);
}

int callsOnThisThread(const void* entry) {
    const auto& calls = callsOnThisThread();
    return int(std::count(calls.begin(), calls.end(), entry));
}

}  // namespace

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers may post or be removed from static
    // destructors and from threads still running at exit.
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

NotificationCenter::NotificationCenter() = default;

NotificationCenter::~NotificationCenter() {
    std::vector<EntryPtr> entries;
    {
        std::lock_guard lock(mutex_);
        entries.swap(entries_);
    }
    // Deliveries still queued hold their entry; they must find it retired.
    retire(entries);
}

ObserverToken NotificationCenter::addObserver(std::string name, SenderRef sender, DispatchQueuePtr queue,
                                              NotificationBlock block, const void* owner) {
    if (!block) Exception::raise(kInvalidArgumentException, "Cannot add a notification observer without a block");
    auto entry = std::make_shared<Entry>();
    entry->name = std::move(name);
    entry->sender = sender.get();
    entry->queue = std::move(queue);
    entry->block = std::move(block);
    entry->owner = owner;
    std::lock_guard lock(mutex_);
    entry->token = nextToken_++;
    entries_.push_back(entry);
    return entry->token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
    std::vector<EntryPtr> removed;
    {
        std::lock_guard lock(mutex_);
        // Tokens are handed out in increasing order and entries kept in
        // registration order, so the list is sorted by token.
        auto it = std::lower_bound(entries_.begin(), entries_.end(), token,
                                   [](const EntryPtr& e, ObserverToken t) { return e->token < t; });
        if (it == entries_.end() || (*it)->token != token) return;
        removed.push_back(*it);
        entries_.erase(it);
    }
    retire(removed);
}

void NotificationCenter::removeObservers(const void* owner) {
    if (!owner) return;
    std::vector<EntryPtr> removed;
    {
        std::lock_guard lock(mutex_);
        auto keep = std::stable_partition(entries_.begin(), entries_.end(),
                                          [&](const EntryPtr& e) { return e->owner != owner; });
        removed.assign(keep, entries_.end());
        entries_.erase(keep, entries_.end());
    }
    retire(removed);
}

void NotificationCenter::retire(const std::vector<EntryPtr>& entries) {
    for (const auto& e : entries) {
        std::unique_lock lock(e->mutex);
        e->registered = false;
        const int own = callsOnThisThread(e.get());
        e->idle.wait(lock, [&] { return e->inflight <= own; });
    }
}

void NotificationCenter::post(std::string name, ObjectPtr object, Dictionary userInfo) {
    post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<EntryPtr> targets;
    {
        std::lock_guard lock(mutex_);
        const void* sender = notification.object.get();
        for (const auto& e : entries_) {
            if (e->matches(notification.name, sender)) targets.push_back(e);
        }
    }
    if (targets.empty()) return;

    std::shared_ptr<const Notification> shared;  // one copy for all queued deliveries
    for (const auto& e : targets) {
        if (e->queue) {
            if (!shared) shared = std::make_shared<const Notification>(notification);
            e->queue->async([e, shared] {
                {
                    std::lock_guard lock(e->mutex);
                    if (!e->registered) return;
                }
                e->block(*shared);
            });
            continue;
        }
        {
            std::lock_guard lock(e->mutex);
            // Removed by an earlier observer of this same post, or from another thread.
            if (!e->registered) continue;
            ++e->inflight;
        }
        struct CallScope {
            Entry& entry;
            explicit CallScope(Entry& en) : entry(en) { callsOnThisThread().push_back(&entry); }
            ~CallScope() {
                callsOnThisThread().pop_back();
                {
                    std::lock_guard lock(entry.mutex);
                    --entry.inflight;
                }
                entry.idle.notify_all();
            }
        } scope(*e);
        e->block(notification);
    }
}

size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace ns
