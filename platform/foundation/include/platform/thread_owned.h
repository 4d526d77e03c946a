#pragma once
// A thread's own object: made on the thread's first use, destroyed when that
// thread ends, on that thread, and never by exit.
//
// A `thread_local` of a type with a destructor is destroyed twice over in
// the wrong place: the main thread's is destroyed by exit before the exit
// handlers and static destructors that still run on that thread (a flush at
// exit that reads a thread's JSON parser or recent leaves would find them
// gone), and clang's -Wexit-time-destructors, which the build keeps fatal,
// refuses it. Such objects are kept through a plain pointer instead:
//
//   Stack& stack() {
//       thread_local Stack* slot = nullptr;
//       return ns::threadOwned(slot);
//   }
//
// The pointer needs no destructor and no guard on each use. Objects are
// destroyed in the reverse order of their making when their thread ends,
// after the thread's remaining C++ thread_local objects (whose plain data,
// like a pointer, stays readable meanwhile); one made while the thread is
// ending is destroyed in the same pass. The main thread's objects are never
// destroyed: exit leaves them in place for the code it still runs.

namespace ns {

// Runs `run(arg)` on the calling thread when it ends (never for the main
// thread at exit), after any registered later.
void atThreadEnd(void (*run)(void*), void* arg);

namespace detail {
template <class T>
T& makeThreadOwned(T*& slot) {
    slot = new T();
    atThreadEnd(
        [](void* place) {
            T*& owned = *static_cast<T**>(place);
            T* object = owned;
            owned = nullptr;  // a use from a later destructor makes a new one
            delete object;
        },
        &slot);
    return *slot;
}
}  // namespace detail

// The object `slot` (a thread_local pointer, null at first) owns for this
// thread, made by default construction on first use.
template <class T>
inline T& threadOwned(T*& slot) {
    if (slot) [[likely]]
        return *slot;
    return detail::makeThreadOwned(slot);
}

}  // namespace ns
