#pragma once
// A value that several threads read and write whole, kept with the mutex
// that guards it, so that a getter or setter is one call rather than a lock,
// a copy and an unlock written out each time. It is for a member that lives
// on its own; members that must change together keep one mutex for all.

#include <mutex>
#include <utility>

namespace ns {

template <class T>
class Guarded {
public:
    Guarded() = default;
    explicit Guarded(T value) : value_(std::move(value)) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }

    // The value replaced is destroyed after the lock is released: dropping
    // the last reference to a block or an object may run code that reads
    // this value again.
    void set(T value) {
        std::lock_guard lock(mutex_);
        std::swap(value_, value);
    }

    // Runs f(value) under the lock and gives back what f returns. f must not
    // keep a reference to the value, nor touch this Guarded again.
    template <class F>
    decltype(auto) with(F&& f) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(value_);
    }
    template <class F>
    decltype(auto) with(F&& f) const {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(static_cast<const T&>(value_));
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};

}  // namespace ns
