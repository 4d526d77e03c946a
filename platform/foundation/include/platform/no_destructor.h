#pragma once
// A static that is built once and never destroyed.
//
// Pooled threads may still run when main returns, and exit destroys statics
// in the order they were built, not in the order threads stop using them: a
// queue, a table or the current sandbox destroyed by exit can be read a
// moment later by work that was already running. Every static of a type with
// a destructor is therefore kept in a NoDestructor, whose own destructor is
// trivial, so exit leaves it alone:
//
//   ns::DispatchQueue& workerQueue() {
//       static ns::NoDestructor<ns::DispatchQueue> queue("com.ondrix.worker");
//       return *queue;
//   }
//
// The clang build compiles library and program sources with
// -Wexit-time-destructors under -Werror, so a static that needs an exit-time
// destructor does not build. What must reach disk before the process ends is
// written by an explicit step (a flush, the application's termination, an
// exit handler that writes without destroying), never by a destructor run
// at exit.
//
// Any thread may use the object; its construction is as thread-safe as any
// function-local static's.

#include <new>
#include <type_traits>
#include <utility>

namespace ns {

template <class T>
class NoDestructor {
public:
    template <class... Args>
    explicit NoDestructor(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    // From a value of the type: a braced list names it, as GCC finds a bare
    // one ambiguous: NoDestructor<std::vector<int>> v(std::vector<int>{1, 2}).
    explicit NoDestructor(const T& value) { new (storage_) T(value); }
    explicit NoDestructor(T&& value) { new (storage_) T(std::move(value)); }

    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    ~NoDestructor() = default;

    T& operator*() { return *get(); }
    const T& operator*() const { return *get(); }
    T* operator->() { return get(); }
    const T* operator->() const { return get(); }
    T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
    const T* get() const { return std::launder(reinterpret_cast<const T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

// The wrapper's whole point: exit has nothing to run for it.
static_assert(std::is_trivially_destructible_v<NoDestructor<std::pair<int, void*>>>);

}  // namespace ns
