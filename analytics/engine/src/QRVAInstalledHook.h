#pragma once
// A function the analytics API installs into the engine from a static
// initializer of its own library (a reporter factory or provider). The
// holder is made on first use, whichever side runs first, and never
// destroyed; reads take a copy under the lock.

#include <mutex>

template <class Function>
class QRVAInstalledHook {
public:
    static QRVAInstalledHook& shared() {
        static auto* instance = new QRVAInstalledHook;
        return *instance;
    }
    void set(Function function) {
        std::lock_guard lock(mutex_);
        function_ = std::move(function);
    }
    Function get() {
        std::lock_guard lock(mutex_);
        return function_;
    }

private:
    std::mutex mutex_;
    Function function_;
};
