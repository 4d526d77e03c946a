#pragma once
// NSNotificationCenter stand-in: notifications posted by name with an object
// (the sender) and a userInfo, delivered to observers that filter by name
// and/or sender identity.
//
// Delivery: an observer without a queue is called on the poster's thread
// before post() returns; an observer with a queue gets the notification
// through queue->async. Observers are called in registration order.
//
// Removal: once removeObserver() returns, a synchronously delivered observer
// is not called again, and a call already running on another thread has
// finished (so its captures may be released). An observer may remove itself
// or others from inside its own call. Deliveries already queued for an
// asynchronous observer are dropped when they come to run after removal, but
// removeObserver() does not wait for one that is already running on its queue.
// Two synchronous observers running at the same time on two threads must not
// each remove the other from inside their calls (each would wait for the
// other).
//
// Senders are matched by address only and are not retained; an observer that
// filters on a sender should be removed before that sender goes away.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/dispatch.h"
#include "platform/value.h"

namespace ns {

struct Notification {
    std::string name;
    ObjectPtr object;
    Dictionary userInfo;
};

using NotificationBlock = std::function<void(const Notification&)>;

// Identifies one registration; 0 is never handed out.
using ObserverToken = uint64_t;

// The sender an observer filters on: nullptr for any sender, otherwise
// compared with the address of a posted notification's object. Pointers to
// Object subclasses are taken as their Object base, so a sender given as a
// shared_ptr<Derived> matches the same object posted as an ObjectPtr.
class SenderRef {
public:
    SenderRef() = default;
    SenderRef(std::nullptr_t) {}
    SenderRef(const void* p) : ptr_(p) {}
    template <class T>
    SenderRef(const T* p) : ptr_(asIdentity(p)) {}
    template <class T>
    SenderRef(const std::shared_ptr<T>& p) : ptr_(asIdentity(p.get())) {}

    const void* get() const { return ptr_; }
    bool isAny() const { return ptr_ == nullptr; }

private:
    template <class T>
    static const void* asIdentity(const T* p) {
        if constexpr (std::is_base_of_v<Object, T>) {
            return static_cast<const Object*>(p);
        } else {
            return p;
        }
    }
    const void* ptr_ = nullptr;
};

class NotificationCenter {
public:
    // The process-wide centre.
    static NotificationCenter& defaultCenter();

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // `name` empty: every name. `sender` null: any sender. `queue` null:
    // synchronous delivery on the posting thread. `owner` (optional) groups
    // registrations for removeObservers(owner). Raises
    // NSInvalidArgumentException when `block` is empty.
    ObserverToken addObserver(std::string name, SenderRef sender, DispatchQueuePtr queue, NotificationBlock block,
                              const void* owner = nullptr);

    // Unknown or already removed tokens are ignored.
    void removeObserver(ObserverToken token);
    // Every registration made with this owner (nothing for a null owner).
    void removeObservers(const void* owner);

    void post(std::string name, ObjectPtr object = nullptr, Dictionary userInfo = {});
    void post(const Notification& notification);

    // Number of live registrations (for diagnostics and tests).
    size_t observerCount() const;

private:
    struct Entry;
    using EntryPtr = std::shared_ptr<Entry>;
    void retire(const std::vector<EntryPtr>& entries);

    mutable std::mutex mutex_;
    std::vector<EntryPtr> entries_;  // registration order
    ObserverToken nextToken_ = 1;
};

}  // namespace ns
